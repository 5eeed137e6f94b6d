// The authorization request in a setup run's output, and the controller that shows it.
#include "authorization/AuthorizationController.h"
#include "authorization/JITAuthorizationParser.h"
#include "core/Configuration.h"
#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"

#include <QTest>

using namespace QuorvantisTest;
using Parser = JITAuthorizationOutputParser;

namespace {

const QString callback = QStringLiteral("https%3A%2F%2Fonboarding.quorvantis.dev%2Fapi%2Fprofiles%2FPROVIDER-oauth%2Fcallback");
const QString query = QStringLiteral("response_type=code&client_id=abc&state=s1&redirect_uri=") + callback;

// G and Z: a valid google / zoho authorization page; "G|a|b" replaces a by b in it, "G+x" appends x,
// "G?q" takes the query q (PROVIDER in a callback: the provider's name).
QString page(const QString &shape)
{
    if (!shape.startsWith(u'G') && !shape.startsWith(u'Z'))
        return shape;
    const bool google = shape.startsWith(u'G');
    QString url = google ? QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth?") : QStringLiteral("https://accounts.zoho.com/oauth/v2/auth?");
    url += shape.mid(1, 1) == u"?" ? shape.mid(2) : query;
    url.replace(QStringLiteral("PROVIDER"), google ? "google" : "zoho");
    const QStringList parts = shape.mid(1).split(u'|');
    if (shape.mid(1, 1) == u"|")
        url.replace(parts.value(1), parts.value(2));
    if (shape.mid(1, 1) == u"+")
        url += shape.mid(2);
    return url;
}

QString json(const QString &provider, const QString &email, const QString &password, const QString &url, const QString &extra = {})
{
    return QStringLiteral("{\"type\":\"jitAuthorization\",\"provider\":\"%1\",\"email\":\"%2\",\"password\":\"%3\",\"authUrl\":\"%4\"%5}")
        .arg(provider, email, password, page(url), extra);
}

QCoro::Task<bool> openPage(std::shared_ptr<ScriptedAnswer> script, bool throws)
{
    const bool opened = co_await reply(script);
    if (throws)
        throw std::runtime_error("no browser");
    co_return opened;
}

} // namespace

class AuthorizationTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void authorizationURL_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QStringList>("urls");
        QTest::addColumn<bool>("accepted");
        const QString padded = page("G?response_type=code&client_id=abc&redirect_uri=" + callback + "&state=");
        const auto redirect = [](const char *uri) { return "G?response_type=code&client_id=a&state=b&redirect_uri=http" + QString::fromLatin1(uri) + "%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback"; };
        QTest::newRow("google") << "google" << QStringList{"G", "G|/v2/auth|/auth", "G|https://accounts.google.com|HTTPS://ACCOUNTS.Google.com", "G|.com/|.com:443/",
                                                          redirect("%3A%2F%2Flocalhost%3A3000"), padded + QString(2048 - padded.size(), u's'), "G|dev%2F|dev%3A443%2F"} << true;
        QTest::newRow("zoho") << "zoho" << QStringList{"Z"} << true;
        // What a page of the provider's that sends the owner back to the onboarding service must not be.
        QTest::newRow("longer than 2048") << "google" << QStringList{padded + QString(2049 - padded.size(), u's')} << false;
        QTest::newRow("with blanks") << "google" << QStringList{"G|state=s1|state=s 1", "G+\t", "G+\u00A0"} << false;
        QTest::newRow("not a URL") << "google" << QStringList{"https://[broken/o/oauth2/auth", "G|.com/|.com\\@evil.example/"} << false;
        QTest::newRow("plain http, other port") << "google" << QStringList{"G|https://|http://", "G|.com/|.com:8443/"} << false;
        QTest::newRow("user information") << "google" << QStringList{"G|https://|https://me@", "G|https://|https://me:pw@", "G|https://|https://@"} << false;
        QTest::newRow("no host") << "google" << QStringList{"G|accounts.google.com|"} << false;
        QTest::newRow("unknown provider") << "microsoft" << QStringList{"G"} << false;
        QTest::newRow("provider is case-sensitive") << "Google" << QStringList{"G"} << false;
        QTest::newRow("another path") << "google" << QStringList{"G|/o/oauth2/v2/auth|/oauth/v2/auth", "G|/v2/auth?|/v2/auth/?"} << false;
        QTest::newRow("another host") << "google" << QStringList{"G|accounts.google.com|accounts.zoho.com", "G|accounts.google|evil.accounts.google", "G|.com/|.com.evil.example/", "G|.com/|.com./"} << false;
        QTest::newRow("zoho: another path or host") << "zoho" << QStringList{"Z|/oauth/v2/auth|/o/oauth2/v2/auth", "Z|accounts.zoho.com|accounts.google.com"} << false;
        QTest::newRow("query") << "google" << QStringList{"G+&state=again", "https://accounts.google.com/o/oauth2/auth", "G|=code|=token", "G|response_type=code&|", "G|client_id=abc|client_id=",
                                                          "G|client_id=abc|client_id", "G|client_id=abc&|", "G|state=s1|state=", "G|state=s1&|"} << false;
        QTest::newRow("redirect") << "google" << QStringList{"G?response_type=code&client_id=a&state=b", "G?response_type=code&client_id=a&state=b&redirect_uri=%5Bx", "G+%3Fx%3D1", "G+%3F", "G+%23f",
                                                             "G|https%3A%2F%2F|https%3A%2F%2Fu%40", "G|google-oauth|zoho-oauth", "G+%2F"} << false;
        QTest::newRow("redirect origin") << "google" << QStringList{"G|onboarding.quorvantis.dev|evil.example", "G|onboarding.quorvantis|x.onboarding.quorvantis", "G|dev%2F|dev%3A8443%2F",
                                                                    "G|https%3A%2F%2Fon|http%3A%2F%2Fon", redirect("%3A%2F%2Flocalhost"), redirect("%3A%2F%2Flocalhost%3A3001"),
                                                                    redirect("s%3A%2F%2Flocalhost%3A3000"), redirect("%3A%2F%2F127.0.0.1%3A3000")} << false;
    }
    void authorizationURL()
    {
        QFETCH(QString, provider);
        QFETCH(QStringList, urls);
        QFETCH(bool, accepted);
        for (const QString &url : urls) {
            const std::optional<QUrl> result = Parser::validatedAuthorizationURL(page(url), provider);
            QVERIFY2(result.has_value() == accepted, qPrintable(url));
            QVERIFY(!result || *result == QUrl(page(url), QUrl::StrictMode));
        }
    }

    void everyZohoRegion()
    {
        QCOMPARE(Configuration::zohoOAuthHosts().size(), 10);
        for (const QString &host : Configuration::zohoOAuthHosts()) {
            QVERIFY2(Parser::validatedAuthorizationURL(page("Z|accounts.zoho.com|" + host), QStringLiteral("zoho")), qPrintable(host));
            QVERIFY(!Parser::validatedAuthorizationURL(page("Z|accounts.zoho.com|" + host), QStringLiteral("google")));
        }
        QCOMPARE(Configuration::googleOAuthHosts(), QStringList{QStringLiteral("accounts.google.com")});
    }

    void outputLines_data()
    {
        QTest::addColumn<QString>("lines"); // "G"/"Z" for a page as above
        QTest::addColumn<QString>("records"); // provider, e-mail and password of each record
        const QString created = QStringLiteral("Workspace account created (%1):\n");
        QTest::newRow("text form") << created.arg("Google") + "some other output\nEmail:  agent@corp.example\nPassword: two words\nG" << "google agent@corp.example two words";
        QTest::newRow("lower-case provider line") << created.arg("google") + "Email: a@b.c\nPassword: pw\nG" << "";
        QTest::newRow("page before password, then again") << created.arg("Zoho") + "Email: a@b.c\nZ\nPassword: pw\nZ" << "zoho a@b.c pw";
        QTest::newRow("the other provider's page") << created.arg("Zoho") + "Email: a@b.c\nPassword: pw\nG" << "";
        QTest::newRow("a page with a blank") << created.arg("Zoho") + "Email: a@b.c\nPassword: pw\nZ|state=s1|state=s 1" << "";
        QTest::newRow("any order, a later page") << "Password: pw\nEmail: a@b.c\n" + created.arg("Zoho") + "Z\nEmail: second@b.c\nZ|.com/|.eu/" << "zoho a@b.c pw,zoho second@b.c pw";
        QTest::newRow("JSON leaves the pending lines") << "Email: first@b.c\n" + json("google", "json@b.c", "pw", "G") + "\n" + created.arg("Google") + "Password: p2\nG" << "google json@b.c pw,google first@b.c p2";
        // The JSON event: exactly these keys, once each, and a valid page.
        QTest::newRow("JSON") << json("google", "a@b.c", "p w", "G") << "google a@b.c p w";
        QTest::newRow("JSON, zoho") << json("zoho", "a@b.c", "pw", "Z") << "zoho a@b.c pw";
        QTest::newRow("JSON, escaped type") << json("google", "a@b.c", "pw", "G").replace("jitA", "jit\\u0041") << "google a@b.c pw";
        QTest::newRow("JSON, extra key") << json("google", "a@b.c", "pw", "G", ",\"expiresAt\":\"x\"") << "";
        QTest::newRow("JSON, duplicate key") << json("google", "a@b.c", "pw", "G", ",\"email\":\"x@b.c\"") << "";
        QTest::newRow("JSON, capitalised provider") << json("Google", "a@b.c", "pw", "G") << "";
        QTest::newRow("JSON, other type") << json("google", "a@b.c", "pw", "G").replace("jitAuthorization", "progress") << "";
        QTest::newRow("JSON, missing key") << json("google", "a@b.c", "pw", "G").section(",\"authUrl\"", 0, 0) + "}" << "";
        QTest::newRow("JSON, password not text") << json("google", "a@b.c", "pw", "G").replace("\"pw\"", "5") << "";
        QTest::newRow("JSON, empty password") << json("google", "a@b.c", "", "G") << "";
        QTest::newRow("JSON, bad page") << json("google", "a@b.c", "pw", "G|https|http") << "";
        QTest::newRow("JSON, array") << "[\"jitAuthorization\"]" << "";
        QTest::newRow("JSON, malformed") << "{\"type\":\"jitAuthorization\",}" << "";
        QTest::newRow("JSON, trailing garbage") << json("google", "a@b.c", "pw", "G") + "}" << "";
        QTest::newRow("JSON, nested object") << json("google", "a@b.c", "pw", "G", ",\"x\":{\"type\":1}") << "";
    }
    void outputLines()
    {
        QFETCH(QString, lines);
        QStringList records;
        const auto intercept = authorizationInterceptor([&records](const JITWorkspaceAuthorization &r) { records << r.provider + ' ' + r.email + ' ' + r.password; });
        for (const QString &line : lines.split(u'\n')) {
            const auto before = records.size();
            const bool taken = intercept(page(line));
            QCOMPARE(taken, records.size() > before); // only the line that completes a record is taken
        }
        QTEST(records.join(u','), "records");
        QCOMPARE(Parser::jsonEvent(lines).has_value(), lines.startsWith(u'{') && !records.isEmpty());
    }

    void credentialLimits_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        const QString at320 = QString(316, u'a') + "@b.c", flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
        QTest::newRow("ordinary") << "a@b.c" << "pw" << true;
        QTest::newRow("email of 320") << at320 << "pw" << true;
        QTest::newRow("email of 321") << "a" + at320 << "pw" << false;
        QTest::newRow("email without at") << "ab.c" << "pw" << false;
        QTest::newRow("password of 1024") << "a@b.c" << QString(1024, u'p') << true;
        QTest::newRow("password of 1025") << "a@b.c" << QString(1025, u'p') << false;
        QTest::newRow("password of 1024 flags") << "a@b.c" << flag.repeated(1024) << true; // 4096 UTF-16 units
        QTest::newRow("password of 1025 accented letters") << "a@b.c" << QStringLiteral("e\u0301").repeated(1025) << false;
    }
    void credentialLimits()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        Parser parser;
        for (const QString &line : {QStringLiteral("Workspace account created (Google):"), "Email: " + email, "Password: " + password})
            parser.consume(line);
        QCOMPARE(parser.consume(page("G")).has_value(), accepted);
        QCOMPARE(Parser::jsonEvent(json("google", email, password, "G")).has_value(), accepted);
    }

    void characterCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("ascii") << "abc" << 3;
        QTest::newRow("combining accent") << "e\u0301" << 1;
        QTest::newRow("flag") << QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3") << 1;
        QTest::newRow("family") << QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7") << 1;
        QTest::newRow("crlf") << "\r\n" << 1;
        QTest::newRow("chinese") << "安装" << 2;
    }
    void characterCount()
    {
        QFETCH(QString, text);
        QTEST(int(Parser::characterCount(text)), "count");
    }

    void controller_data()
    {
        // rec, rec2, old: a record of the current run, another of it, one of a superseded run; open, open0,
        // open!: the page opens / is refused / fails (open~: not awaited); hold / free: the page opens only when
        // freed; ?: whether it is opening; begin: a new run; clear: the run ended; late: a record for a gone controller
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("state"); // the e-mail shown, "failed" when the page did not open, pages opened
        QTest::newRow("nothing to open") << "open" << "0";
        QTest::newRow("opened") << "rec open" << "bot@example.org 1";
        QTest::newRow("refused, the record stays") << "rec open0" << "bot@example.org failed 1";
        QTest::newRow("open fails") << "rec open!" << "bot@example.org failed 1";
        QTest::newRow("refused, then opened") << "rec open0 open" << "bot@example.org 2";
        QTest::newRow("a new record clears the failure") << "rec open0 rec2" << "second@example.org 1";
        QTest::newRow("a superseded run is ignored") << "rec old" << "bot@example.org 0";
        QTest::newRow("a new run takes it all away") << "rec open0 begin" << "1";
        QTest::newRow("an ended run takes the record") << "rec open0 clear" << "failed 1";
        QTest::newRow("a second press while opening") << "rec hold open~ ? open free" << "bot@example.org opening 1";
        QTest::newRow("a handler outliving its controller") << "late" << "0"; // does nothing (the sanitizer would tell)
    }
    void controller()
    {
        QFETCH(QString, steps);
        ControllerHarness h;
        auto opens = std::make_shared<ScriptedAnswer>();
        bool throws = false;
        AuthorizationController c(h.context(), {[opens, &throws](QUrl url) { return opens->opened << url, openPage(opens, throws); }});
        const QHash<QString, QString> emails{{"rec", "bot@example.org"}, {"rec2", "second@example.org"}, {"old", "old@example.org"}};
        QStringList seen;
        std::optional<QCoro::Task<void>> running;
        for (const QString &step : steps.split(u' ')) {
            opens->answers = {step != u"open0"};
            throws = step == u"open!";
            if (emails.contains(step)) c.handlerFor([step] { return step != u"old"; })(authorization(emails.value(step)));
            if (step == u"open" || step == u"open0" || step == u"open!") await(c.openSetupAuthorization());
            if (step == u"open~") running = c.openSetupAuthorization();
            if (step == u"hold") opens->gate = std::make_shared<Gate>();
            if (step == u"free") opens->gate->open(), await(std::move(*running));
            if (step == u"?") seen << (c.isOpeningSetupAuthorization() ? "opening" : "idle");
            if (step == u"late") {
                const auto handler = std::make_unique<AuthorizationController>(h.context(), AuthorizationController::Effects{})->handlerFor([] { return true; });
                handler(authorization());
            }
            if (step == u"begin") c.beginRun();
            if (step == u"clear") c.clear();
        }
        const QString email = c.setupAuthorization() ? c.setupAuthorization()->email : QString();
        QTEST((QStringList({email, c.setupAuthorizationOpenFailed() ? "failed" : ""}) + seen + QStringList{QString::number(opens->calls)}).join(u' ').simplified(), "state");
        QVERIFY(!c.isOpeningSetupAuthorization() && h.failures.isEmpty() && !h.attention().lastError());
        QVERIFY(std::all_of(opens->opened.cbegin(), opens->opened.cend(), [](const QUrl &url) { return url == authorization().authURL; }));
    }
};

QTEST_GUILESS_MAIN(AuthorizationTests)
#include "AuthorizationTests.moc"
