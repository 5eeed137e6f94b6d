#include "core/Configuration.h"
#include "authorization/JITAuthorizationParser.h"

#include <QTest>

namespace {

const QString googleRedirect = QStringLiteral("https%3A%2F%2Fonboarding.quorvantis.dev%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback");
const QString zohoRedirect = QStringLiteral("https%3A%2F%2Fonboarding.quorvantis.dev%2Fapi%2Fprofiles%2Fzoho-oauth%2Fcallback");

QString googleURL(const QString &query = QString())
{
    return QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth?")
        + (query.isNull() ? QStringLiteral("response_type=code&client_id=abc&state=s1&redirect_uri=") + googleRedirect : query);
}

QString zohoURL(const QString &host = QStringLiteral("accounts.zoho.com"))
{
    return QStringLiteral("https://%1/oauth/v2/auth?response_type=code&client_id=z&state=st&redirect_uri=%2")
        .arg(host, zohoRedirect);
}

QString jsonLine(const QString &provider, const QString &email, const QString &password, const QString &url,
                 const QString &extra = QString())
{
    auto quoted = [](const QString &text) {
        QString escaped = text;
        escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
        return QLatin1Char('"') + escaped + QLatin1Char('"');
    };
    return QStringLiteral("{\"type\":\"jitAuthorization\",\"provider\":%1,\"email\":%2,\"password\":%3,\"authUrl\":%4%5}")
        .arg(quoted(provider), quoted(email), quoted(password), quoted(url), extra);
}

// Pads the state value so the whole URL has exactly `length` characters.
QString googleURLOfLength(int length)
{
    const QString base = googleURL(QStringLiteral("response_type=code&client_id=abc&redirect_uri=") + googleRedirect
                                   + QStringLiteral("&state="));
    return base + QString(length - base.size(), QLatin1Char('s'));
}

} // namespace

class JITAuthorizationParserTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validatedAuthorizationURL_data();
    void validatedAuthorizationURL();
    void everyZohoRegionIsAccepted();
    void textFormYieldsRecord();
    void lowerCaseProviderLineDoesNotMatch();
    void urlBeforePasswordYieldsNothingUntilRepeated();
    void laterValidURLYieldsAnotherRecord();
    void credentialLimits_data();
    void credentialLimits();
    void jsonEvent_data();
    void jsonEvent();
    void jsonEventLeavesPendingStateAlone();
    void graphemeCounts_data();
    void graphemeCounts();
};

void JITAuthorizationParserTests::validatedAuthorizationURL_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("provider");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("google v2") << googleURL() << "google" << true;
    QTest::newRow("google v1 path") << googleURL().replace(QLatin1String("/v2/auth"), QLatin1String("/auth")) << "google" << true;
    QTest::newRow("zoho") << zohoURL() << "zoho" << true;
    QTest::newRow("upper-case host and scheme") << googleURL().replace(QLatin1String("https://accounts.google.com"), QLatin1String("HTTPS://ACCOUNTS.Google.com")) << "google" << true;
    QTest::newRow("port 443") << googleURL().replace(QLatin1String(".com/"), QLatin1String(".com:443/")) << "google" << true;
    QTest::newRow("loopback redirect") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=http%3A%2F%2Flocalhost%3A3000%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback")) << "google" << true;
    QTest::newRow("2048 characters") << googleURLOfLength(2048) << "google" << true;

    // 1. length
    QTest::newRow("2049 characters") << googleURLOfLength(2049) << "google" << false;
    // 2. whitespace
    QTest::newRow("embedded space") << googleURL().replace(QLatin1String("state=s1"), QLatin1String("state=s 1")) << "google" << false;
    QTest::newRow("embedded tab") << googleURL() + QStringLiteral("\t") << "google" << false;
    QTest::newRow("no-break space") << googleURL() + QChar(0x00A0) << "google" << false;
    // 3. parse
    QTest::newRow("not a url") << QStringLiteral("https://[broken/o/oauth2/auth") << "google" << false;
    QTest::newRow("backslash") << googleURL().replace(QLatin1String(".com/"), QLatin1String(".com\\@evil.example/")) << "google" << false;
    // 4. scheme
    QTest::newRow("plain http") << googleURL().replace(QLatin1String("https://"), QLatin1String("http://")) << "google" << false;
    // 5. port
    QTest::newRow("port 8443") << googleURL().replace(QLatin1String(".com/"), QLatin1String(".com:8443/")) << "google" << false;
    // 6. user and password
    QTest::newRow("user") << googleURL().replace(QLatin1String("https://"), QLatin1String("https://me@")) << "google" << false;
    QTest::newRow("user and password") << googleURL().replace(QLatin1String("https://"), QLatin1String("https://me:pw@")) << "google" << false;
    QTest::newRow("empty user") << googleURL().replace(QLatin1String("https://"), QLatin1String("https://@")) << "google" << false;
    // 7. host
    QTest::newRow("no host") << QStringLiteral("https:///o/oauth2/auth?response_type=code&client_id=a&state=b&redirect_uri=") + googleRedirect << "google" << false;
    // 9. provider rules
    QTest::newRow("unknown provider") << googleURL() << "microsoft" << false;
    QTest::newRow("provider is case-sensitive") << googleURL() << "Google" << false;
    QTest::newRow("zoho path at google") << googleURL().replace(QLatin1String("/o/oauth2/v2/auth"), QLatin1String("/oauth/v2/auth")) << "google" << false;
    QTest::newRow("google path at zoho") << zohoURL().replace(QLatin1String("/oauth/v2/auth"), QLatin1String("/o/oauth2/v2/auth")) << "zoho" << false;
    QTest::newRow("path with trailing slash") << googleURL().replace(QLatin1String("/v2/auth?"), QLatin1String("/v2/auth/?")) << "google" << false;
    // 10. hosts
    QTest::newRow("google host for zoho") << zohoURL(QStringLiteral("accounts.google.com")) << "zoho" << false;
    QTest::newRow("zoho host for google") << googleURL().replace(QLatin1String("accounts.google.com"), QLatin1String("accounts.zoho.com")) << "google" << false;
    QTest::newRow("subdomain") << googleURL().replace(QLatin1String("accounts.google.com"), QLatin1String("evil.accounts.google.com")) << "google" << false;
    QTest::newRow("suffix host") << googleURL().replace(QLatin1String("accounts.google.com"), QLatin1String("accounts.google.com.evil.example")) << "google" << false;
    QTest::newRow("trailing dot") << googleURL().replace(QLatin1String("accounts.google.com"), QLatin1String("accounts.google.com.")) << "google" << false;
    // 11. duplicates
    QTest::newRow("state twice") << googleURL() + QStringLiteral("&state=again") << "google" << false;
    // 12. empty table
    QTest::newRow("no query") << QStringLiteral("https://accounts.google.com/o/oauth2/auth") << "google" << false;
    // 13. response type
    QTest::newRow("response_type token") << googleURL().replace(QLatin1String("response_type=code"), QLatin1String("response_type=token")) << "google" << false;
    QTest::newRow("response_type missing") << googleURL().replace(QLatin1String("response_type=code&"), QString()) << "google" << false;
    // 14. client id
    QTest::newRow("empty client_id") << googleURL().replace(QLatin1String("client_id=abc"), QLatin1String("client_id=")) << "google" << false;
    QTest::newRow("client_id without value") << googleURL().replace(QLatin1String("client_id=abc"), QLatin1String("client_id")) << "google" << false;
    QTest::newRow("client_id missing") << googleURL().replace(QLatin1String("client_id=abc&"), QString()) << "google" << false;
    // 15. state
    QTest::newRow("empty state") << googleURL().replace(QLatin1String("state=s1"), QLatin1String("state=")) << "google" << false;
    QTest::newRow("state missing") << googleURL().replace(QLatin1String("state=s1&"), QString()) << "google" << false;
    // 16. redirect present and a URL
    QTest::newRow("redirect missing") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b")) << "google" << false;
    QTest::newRow("redirect not a url") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=%5Bx")) << "google" << false;
    // 17. redirect parts
    QTest::newRow("redirect with query") << googleURL() + QStringLiteral("%3Fx%3D1") << "google" << false;
    QTest::newRow("redirect with empty query") << googleURL() + QStringLiteral("%3F") << "google" << false;
    QTest::newRow("redirect with fragment") << googleURL() + QStringLiteral("%23f") << "google" << false;
    QTest::newRow("redirect with user") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=https%3A%2F%2Fu%40onboarding.quorvantis.dev%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback")) << "google" << false;
    // 18. callback path
    QTest::newRow("zoho callback at google") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=") + zohoRedirect) << "google" << false;
    QTest::newRow("callback with trailing slash") << googleURL() + QStringLiteral("%2F") << "google" << false;
    // 19. redirect origin
    QTest::newRow("redirect to other host") << googleURL().replace(QLatin1String("onboarding.quorvantis.dev"), QLatin1String("evil.example")) << "google" << false;
    QTest::newRow("redirect to subdomain") << googleURL().replace(QLatin1String("onboarding.quorvantis.dev"), QLatin1String("x.onboarding.quorvantis.dev")) << "google" << false;
    QTest::newRow("redirect on port 8443") << googleURL().replace(QLatin1String("quorvantis.dev%2F"), QLatin1String("quorvantis.dev%3A8443%2F")) << "google" << false;
    QTest::newRow("redirect on port 443") << googleURL().replace(QLatin1String("quorvantis.dev%2F"), QLatin1String("quorvantis.dev%3A443%2F")) << "google" << true;
    QTest::newRow("redirect over plain http") << googleURL().replace(QLatin1String("https%3A%2F%2Fonboarding"), QLatin1String("http%3A%2F%2Fonboarding")) << "google" << false;
    QTest::newRow("loopback without port") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=http%3A%2F%2Flocalhost%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback")) << "google" << false;
    QTest::newRow("loopback other port") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=http%3A%2F%2Flocalhost%3A3001%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback")) << "google" << false;
    QTest::newRow("loopback over https") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=https%3A%2F%2Flocalhost%3A3000%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback")) << "google" << false;
    QTest::newRow("loopback address") << googleURL(QStringLiteral("response_type=code&client_id=a&state=b&redirect_uri=http%3A%2F%2F127.0.0.1%3A3000%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback")) << "google" << false;
}

void JITAuthorizationParserTests::validatedAuthorizationURL()
{
    QFETCH(QString, url);
    QFETCH(QString, provider);
    QFETCH(bool, accepted);
    const std::optional<QUrl> result = JITAuthorizationOutputParser::validatedAuthorizationURL(url, provider);
    QCOMPARE(result.has_value(), accepted);
    if (result)
        QCOMPARE(*result, QUrl(url, QUrl::StrictMode));
}

void JITAuthorizationParserTests::everyZohoRegionIsAccepted()
{
    QCOMPARE(Configuration::zohoOAuthHosts().size(), 10);
    for (const QString &host : Configuration::zohoOAuthHosts()) {
        QVERIFY2(JITAuthorizationOutputParser::validatedAuthorizationURL(zohoURL(host), QStringLiteral("zoho")), qPrintable(host));
        QVERIFY(!JITAuthorizationOutputParser::validatedAuthorizationURL(zohoURL(host), QStringLiteral("google")));
    }
    QCOMPARE(Configuration::googleOAuthHosts(), QStringList{QStringLiteral("accounts.google.com")});
}

void JITAuthorizationParserTests::textFormYieldsRecord()
{
    JITAuthorizationOutputParser parser;
    QVERIFY(!parser.consume(QStringLiteral("Workspace account created (Google):")));
    QVERIFY(!parser.consume(QStringLiteral("some other output")));
    QVERIFY(!parser.consume(QStringLiteral("Email:  agent@corp.example")));
    QVERIFY(!parser.consume(QStringLiteral("Password: two words")));
    const auto record = parser.consume(googleURL());
    QVERIFY(record);
    QCOMPARE(record->provider, QStringLiteral("google"));
    QCOMPARE(record->email, QStringLiteral("agent@corp.example"));
    QCOMPARE(record->password, QStringLiteral("two words"));
    QCOMPARE(record->authURL, QUrl(googleURL(), QUrl::StrictMode));
}

void JITAuthorizationParserTests::lowerCaseProviderLineDoesNotMatch()
{
    JITAuthorizationOutputParser parser;
    parser.consume(QStringLiteral("Workspace account created (google):"));
    parser.consume(QStringLiteral("Email: a@b.c"));
    parser.consume(QStringLiteral("Password: pw"));
    QVERIFY(!parser.pendingProvider);
    QVERIFY(!parser.consume(googleURL()));
}

void JITAuthorizationParserTests::urlBeforePasswordYieldsNothingUntilRepeated()
{
    JITAuthorizationOutputParser parser;
    parser.consume(QStringLiteral("Workspace account created (Zoho):"));
    parser.consume(QStringLiteral("Email: a@b.c"));
    QVERIFY(!parser.consume(zohoURL()));
    parser.consume(QStringLiteral("Password: pw"));
    const auto record = parser.consume(zohoURL());
    QVERIFY(record);
    QCOMPARE(record->provider, QStringLiteral("zoho"));
    // A URL line of the other provider does not pass.
    QVERIFY(!parser.consume(googleURL()));
    // Neither does a URL with a space in it (lines arrive trimmed, so only inner blanks remain).
    QVERIFY(!parser.consume(zohoURL().replace(QLatin1String("state=st"), QLatin1String("state=s t"))));
}

void JITAuthorizationParserTests::laterValidURLYieldsAnotherRecord()
{
    JITAuthorizationOutputParser parser;
    parser.consume(QStringLiteral("Password: pw"));
    parser.consume(QStringLiteral("Email: a@b.c"));
    parser.consume(QStringLiteral("Workspace account created (Zoho):"));
    QVERIFY(parser.consume(zohoURL()));
    parser.consume(QStringLiteral("Email: second@b.c"));
    const auto second = parser.consume(zohoURL(QStringLiteral("accounts.zoho.eu")));
    QVERIFY(second);
    QCOMPARE(second->email, QStringLiteral("second@b.c"));
    QCOMPARE(second->authURL.host(), QStringLiteral("accounts.zoho.eu"));
}

void JITAuthorizationParserTests::credentialLimits_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");

    const QString at320 = QString(316, QLatin1Char('a')) + QStringLiteral("@b.c");
    QTest::newRow("ordinary") << "a@b.c" << "pw" << true;
    QTest::newRow("email of 320") << at320 << "pw" << true;
    QTest::newRow("email of 321") << QLatin1Char('a') + at320 << "pw" << false;
    QTest::newRow("email without at") << "ab.c" << "pw" << false;
    QTest::newRow("password of 1024") << "a@b.c" << QString(1024, QLatin1Char('p')) << true;
    QTest::newRow("password of 1025") << "a@b.c" << QString(1025, QLatin1Char('p')) << false;
    // 1024 user-perceived characters that take 4096 UTF-16 units still fit.
    QString flags;
    for (int i = 0; i < 1024; ++i)
        flags += QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
    QTest::newRow("password of 1024 flags") << "a@b.c" << flags << true;
    QString accents;
    for (int i = 0; i < 1025; ++i)
        accents += QStringLiteral("e\u0301");
    QTest::newRow("password of 1025 accented letters") << "a@b.c" << accents << false;
}

void JITAuthorizationParserTests::credentialLimits()
{
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(bool, accepted);

    JITAuthorizationOutputParser parser;
    parser.consume(QStringLiteral("Workspace account created (Google):"));
    parser.consume(QStringLiteral("Email: ") + email);
    parser.consume(QStringLiteral("Password: ") + password);
    QCOMPARE(parser.consume(googleURL()).has_value(), accepted);
    QCOMPARE(JITAuthorizationOutputParser::jsonEvent(jsonLine(QStringLiteral("google"), email, password, googleURL())).has_value(),
             accepted);
    // The empty password exists only in the JSON form: the text form needs something after the label.
    if (accepted)
        QVERIFY(!JITAuthorizationOutputParser::jsonEvent(jsonLine(QStringLiteral("google"), email, QString(), googleURL())));
}

void JITAuthorizationParserTests::jsonEvent_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("valid") << jsonLine("google", "a@b.c", "p w", googleURL()) << true;
    QTest::newRow("valid zoho") << jsonLine("zoho", "a@b.c", "pw", zohoURL()) << true;
    QTest::newRow("escaped type") << jsonLine("google", "a@b.c", "pw", googleURL()).replace(QLatin1String("jitAuthorization"), QLatin1String("jit\\u0041uthorization")) << true;
    QTest::newRow("extra key") << jsonLine("google", "a@b.c", "pw", googleURL(), QStringLiteral(",\"expiresAt\":\"x\"")) << false;
    QTest::newRow("duplicate key") << jsonLine("google", "a@b.c", "pw", googleURL(), QStringLiteral(",\"authUrl\":\"https://evil.example/\"")) << false;
    QTest::newRow("capitalised provider") << jsonLine("Google", "a@b.c", "pw", googleURL()) << false;
    QTest::newRow("other type") << jsonLine("google", "a@b.c", "pw", googleURL()).replace(QLatin1String("jitAuthorization"), QLatin1String("progress")) << false;
    QTest::newRow("missing key") << QStringLiteral("{\"type\":\"jitAuthorization\",\"provider\":\"google\",\"email\":\"a@b.c\",\"password\":\"pw\"}") << false;
    QTest::newRow("non-string password") << QStringLiteral("{\"type\":\"jitAuthorization\",\"provider\":\"google\",\"email\":\"a@b.c\",\"password\":5,\"authUrl\":\"%1\"}").arg(googleURL()) << false;
    QTest::newRow("bad url") << jsonLine("google", "a@b.c", "pw", googleURL().replace(QLatin1String("https"), QLatin1String("http"))) << false;
    QTest::newRow("array") << QStringLiteral("[\"jitAuthorization\"]") << false;
    QTest::newRow("malformed") << QStringLiteral("{\"type\":\"jitAuthorization\",}") << false;
    QTest::newRow("trailing garbage") << jsonLine("google", "a@b.c", "pw", googleURL()) + QStringLiteral("}") << false;
    QTest::newRow("nested object is an extra key") << jsonLine("google", "a@b.c", "pw", googleURL(), QStringLiteral(",\"x\":{\"type\":1}")) << false;
}

void JITAuthorizationParserTests::jsonEvent()
{
    QFETCH(QString, line);
    QFETCH(bool, accepted);
    QCOMPARE(JITAuthorizationOutputParser::jsonEvent(line).has_value(), accepted);
    JITAuthorizationOutputParser parser;
    QCOMPARE(parser.consume(line).has_value(), accepted);
}

void JITAuthorizationParserTests::jsonEventLeavesPendingStateAlone()
{
    JITAuthorizationOutputParser parser;
    parser.consume(QStringLiteral("Email: first@b.c"));
    const auto record = parser.consume(jsonLine(QStringLiteral("google"), QStringLiteral("json@b.c"), QStringLiteral("pw"), googleURL()));
    QVERIFY(record);
    QCOMPARE(record->email, QStringLiteral("json@b.c"));
    QCOMPARE(parser.pendingEmail, std::optional<QString>(QStringLiteral("first@b.c")));
    QVERIFY(!parser.pendingProvider);
}

void JITAuthorizationParserTests::graphemeCounts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("ascii") << QStringLiteral("abc") << 3;
    QTest::newRow("combining accent") << QStringLiteral("e\u0301") << 1;
    QTest::newRow("flag") << QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3") << 1;
    QTest::newRow("family") << QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7") << 1;
    QTest::newRow("crlf") << QStringLiteral("\r\n") << 1;
    QTest::newRow("chinese") << QStringLiteral("安装") << 2;
}

void JITAuthorizationParserTests::graphemeCounts()
{
    QFETCH(QString, text);
    QFETCH(int, count);
    QCOMPARE(JITAuthorizationOutputParser::characterCount(text), qsizetype(count));
}

QTEST_GUILESS_MAIN(JITAuthorizationParserTests)
#include "JITAuthorizationParserTests.moc"
