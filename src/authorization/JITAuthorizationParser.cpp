#include "authorization/JITAuthorizationParser.h"

#include "core/Configuration.h"

#include <QHash>
#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <QUrlQuery>

#include <nlohmann/json.hpp>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr qsizetype maximumEmailLength = 320;
constexpr qsizetype maximumPasswordLength = 1024;
constexpr qsizetype maximumURLLength = 2048;

bool hasLengthWithin(const QString &text, qsizetype maximum)
{
    if (text.isEmpty())
        return false;
    // A grapheme cluster holds at least one UTF-16 unit, so short texts need no segmentation.
    if (text.size() <= maximum)
        return true;
    return JITAuthorizationOutputParser::characterCount(text) <= maximum;
}

bool acceptableCredentials(const QString &email, const QString &password)
{
    return hasLengthWithin(email, maximumEmailLength) && email.contains(QLatin1Char('@'))
        && hasLengthWithin(password, maximumPasswordLength);
}

bool containsWhitespace(QStringView text)
{
    for (const QChar c : text) {
        if (c.isSpace() || c == QChar(0x85) || c == QChar(0x2028) || c == QChar(0x2029))
            return true;
    }
    return false;
}

// RFC 3986 texts are printable ASCII; anything else is not a URL with components.
bool isPrintableASCII(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

// The authority as written, so that an empty user part ("https://@host") is not normalised away.
QStringView writtenAuthority(QStringView url)
{
    const qsizetype schemeEnd = url.indexOf(u"://");
    if (schemeEnd < 0)
        return {};
    QStringView rest = url.mid(schemeEnd + 3);
    qsizetype end = rest.size();
    for (const char16_t stop : {u'/', u'?', u'#'}) {
        const qsizetype at = rest.indexOf(QChar(stop));
        if (at >= 0 && at < end)
            end = at;
    }
    return rest.left(end);
}

std::optional<QUrl> parsedURL(const QString &text)
{
    if (!isPrintableASCII(text))
        return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

bool hasUserInfo(const QUrl &url, const QString &written)
{
    return !url.userName().isEmpty() || !url.password().isEmpty()
        || writtenAuthority(written).contains(QLatin1Char('@'));
}

struct ProviderRules
{
    QStringList paths;
    const QStringList *hosts;
    QString callbackPath;
};

std::optional<ProviderRules> rulesFor(const QString &provider)
{
    if (provider == QLatin1String("google")) {
        return ProviderRules{{QStringLiteral("/o/oauth2/auth"), QStringLiteral("/o/oauth2/v2/auth")},
                             &Configuration::googleOAuthHosts(),
                             QStringLiteral("/api/profiles/google-oauth/callback")};
    }
    if (provider == QLatin1String("zoho")) {
        return ProviderRules{{QStringLiteral("/oauth/v2/auth")},
                             &Configuration::zohoOAuthHosts(),
                             QStringLiteral("/api/profiles/zoho-oauth/callback")};
    }
    return std::nullopt;
}

bool acceptableRedirect(const QString &value, const ProviderRules &rules)
{
    const std::optional<QUrl> redirect = parsedURL(value);
    if (!redirect)
        return false;
    if (hasUserInfo(*redirect, value) || redirect->hasQuery() || redirect->hasFragment())
        return false;
    if (redirect->path(QUrl::FullyEncoded) != rules.callbackPath)
        return false;
    const QString scheme = redirect->scheme().toLower();
    const QString host = redirect->host(QUrl::FullyEncoded).toLower();
    const int port = redirect->port();
    if (scheme == QLatin1String("https"))
        return host == Configuration::onboardingProductionHost().toLower() && (port == -1 || port == 443);
    if (scheme == QLatin1String("http"))
        return host == QLatin1String("localhost") && port == 3000;
    return false;
}

bool acceptableQuery(const QUrl &url, const ProviderRules &rules)
{
    const QUrlQuery query(url);
    const auto items = query.queryItems(QUrl::FullyDecoded);
    QHash<QString, QString> table;
    for (const auto &[name, value] : items) {
        if (table.contains(name))
            return false;
        table.insert(name, value);
    }
    if (table.isEmpty())
        return false;
    if (table.value(QStringLiteral("response_type")) != QLatin1String("code"))
        return false;
    if (table.value(QStringLiteral("client_id")).isEmpty() || table.value(QStringLiteral("state")).isEmpty())
        return false;
    const auto redirect = table.constFind(QStringLiteral("redirect_uri"));
    return redirect != table.constEnd() && acceptableRedirect(*redirect, rules);
}

// The whole-line patterns of the text form. Case-sensitive on purpose: the agent prints
// these labels exactly so.
const QRegularExpression &accountCreatedPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^Workspace account created \\((Google|Zoho)\\):$"));
    return pattern;
}

const QRegularExpression &emailPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^Email:\\s+(.+)$"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression &passwordPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^Password:\\s+(.+)$"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

std::optional<QString> capture(const QRegularExpression &pattern, const QString &line)
{
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

} // namespace

qsizetype JITAuthorizationOutputParser::characterCount(QStringView text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

std::optional<QUrl> JITAuthorizationOutputParser::validatedAuthorizationURL(const QString &string,
                                                                            const QString &provider)
{
    if (string.size() > maximumURLLength && characterCount(string) > maximumURLLength)
        return std::nullopt;
    if (containsWhitespace(string))
        return std::nullopt;
    const std::optional<QUrl> url = parsedURL(string);
    if (!url)
        return std::nullopt;
    if (url->scheme().toLower() != QLatin1String("https"))
        return std::nullopt;
    if (url->port() != -1 && url->port() != 443)
        return std::nullopt;
    if (hasUserInfo(*url, string))
        return std::nullopt;
    const QString host = url->host(QUrl::FullyEncoded).toLower();
    if (host.isEmpty())
        return std::nullopt;
    const std::optional<ProviderRules> rules = rulesFor(provider);
    if (!rules || !rules->paths.contains(url->path(QUrl::FullyEncoded)))
        return std::nullopt;
    if (!rules->hosts->contains(host))
        return std::nullopt;
    if (!acceptableQuery(*url, *rules))
        return std::nullopt;
    return url;
}

std::optional<JITWorkspaceAuthorization> JITAuthorizationOutputParser::jsonEvent(const QString &line)
{
    if (!line.startsWith(QLatin1Char('{')) || !line.endsWith(QLatin1Char('}')))
        return std::nullopt;
    // Every other JSON line (progress events) is skipped without parsing, unless an escape
    // could be hiding the event type.
    if (!line.contains(QLatin1String("jitAuthorization")) && !line.contains(QLatin1String("\\u")))
        return std::nullopt;

    const QByteArray utf8 = line.toUtf8();
    // Duplicate keys would let two readers of the same line see different URLs.
    bool duplicateKey = false;
    std::vector<std::set<std::string>> keysPerLevel;
    const auto callback = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json &parsed) {
        using Event = nlohmann::json::parse_event_t;
        if (event == Event::object_start) {
            keysPerLevel.emplace_back();
        } else if (event == Event::object_end) {
            keysPerLevel.pop_back();
        } else if (event == Event::key && depth == 1 && !keysPerLevel.empty()) {
            if (!keysPerLevel.back().insert(parsed.get<std::string>()).second)
                duplicateKey = true;
        }
        return true;
    };
    const nlohmann::json document =
        nlohmann::json::parse(utf8.constBegin(), utf8.constEnd(), callback, /*allow_exceptions=*/false);
    if (duplicateKey || !document.is_object() || document.size() != 5)
        return std::nullopt;
    for (const char *key : {"type", "provider", "email", "password", "authUrl"}) {
        const auto found = document.find(key);
        if (found == document.end() || !found->is_string())
            return std::nullopt;
    }
    const auto text = [&](const char *key) { return QString::fromStdString(document.at(key).get<std::string>()); };
    if (text("type") != QLatin1String("jitAuthorization"))
        return std::nullopt;
    JITWorkspaceAuthorization record{text("provider"), text("email"), text("password"), {}};
    if (!acceptableCredentials(record.email, record.password))
        return std::nullopt;
    const std::optional<QUrl> url = validatedAuthorizationURL(text("authUrl"), record.provider);
    if (!url)
        return std::nullopt;
    record.authURL = *url;
    return record;
}

std::optional<JITWorkspaceAuthorization> JITAuthorizationOutputParser::consume(const QString &line)
{
    if (line.isEmpty())
        return std::nullopt;
    // Every line of a run passes here: anything that cannot start one of the forms is let go
    // after one comparison.
    switch (line.front().unicode()) {
    case u'{':
    case u'W':
    case u'E':
    case u'P':
    case u'h':
        break;
    default:
        return std::nullopt;
    }
    if (auto event = jsonEvent(line))
        return event;
    if (line.startsWith(QLatin1String("Workspace account created ("))) {
        if (const auto provider = capture(accountCreatedPattern(), line)) {
            pendingProvider = provider->toLower();
            return std::nullopt;
        }
    }
    if (line.startsWith(QLatin1String("Email:"))) {
        if (const auto email = capture(emailPattern(), line)) {
            pendingEmail = *email;
            return std::nullopt;
        }
    }
    if (line.startsWith(QLatin1String("Password:"))) {
        if (const auto password = capture(passwordPattern(), line)) {
            pendingPassword = *password;
            return std::nullopt;
        }
    }
    if (!line.startsWith(QLatin1String("https://")) || !pendingProvider || !pendingEmail || !pendingPassword)
        return std::nullopt;
    if (!acceptableCredentials(*pendingEmail, *pendingPassword))
        return std::nullopt;
    const std::optional<QUrl> url = validatedAuthorizationURL(line, *pendingProvider);
    if (!url)
        return std::nullopt;
    return JITWorkspaceAuthorization{*pendingProvider, *pendingEmail, *pendingPassword, *url};
}

std::function<bool(const QString &)>
authorizationInterceptor(std::function<void(const JITWorkspaceAuthorization &)> onAuthorization)
{
    auto parser = std::make_shared<JITAuthorizationOutputParser>();
    return [parser, onAuthorization = std::move(onAuthorization)](const QString &line) {
        const std::optional<JITWorkspaceAuthorization> authorization = parser->consume(line);
        if (!authorization)
            return false;
        if (onAuthorization)
            onAuthorization(*authorization);
        return true;
    };
}
