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
QString page(const QString &spec)
{
    if (!spec.startsWith(u'G') && !spec.startsWith(u'Z'))
        return spec;
    const bool google = spec.startsWith(u'G');
    QString url = google ? QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth?") : QStringLiteral("https://accounts.zoho.com/oauth/v2/auth?");
    url += spec.mid(1, 1) == u"?" ? spec.mid(2) : query;
    url.replace(QStringLiteral("PROVIDER"), google ? "google" : "zoho");
    const QStringList parts = spec.mid(1).split(u'|');
    if (spec.mid(1, 1) == u"|")
        url.replace(parts.value(1), parts.value(2));
    if (spec.mid(1, 1) == u"+")
        url += spec.mid(2);
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
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("provider");
        QTest::addColumn<bool>("accepted");
        const QString padded = page("G?response_type=code&client_id=abc&redirect_uri=" + callback + "&state=");
        const auto redirect = [](const char *uri) { return QStringLiteral("G?response_type=code&client_id=a&state=b&redirect_uri=") + uri; };
        QTest::newRow("google v2") << "G" << "google" << true;
        QTest::newRow("google v1 path") << "G|/v2/auth|/auth" << "google" << true;
        QTest::newRow("zoho") << "Z" << "zoho" << true;
        QTest::newRow("upper-case host and scheme") << "G|https://accounts.google.com|HTTPS://ACCOUNTS.Google.com" << "google" << true;
        QTest::newRow("port 443") << "G|.com/|.com:443/" << "google" << true;
        QTest::newRow("loopback redirect") << redirect("http%3A%2F%2Flocalhost%3A3000%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback") << "google" << true;
        QTest::newRow("2048 characters") << padded + QString(2048 - padded.size(), u's') << "google" << true;
        QTest::newRow("2049 characters") << padded + QString(2049 - padded.size(), u's') << "google" << false;
        QTest::newRow("embedded space") << "G|state=s1|state=s 1" << "google" << false;
        QTest::newRow("embedded tab") << "G+\t" << "google" << false;
        QTest::newRow("no-break space") << "G+\u00A0" << "google" << false;
        QTest::newRow("not a url") << "https://[broken/o/oauth2/auth" << "google" << false;
        QTest::newRow("backslash") << "G|.com/|.com\\@evil.example/" << "google" << false;
        QTest::newRow("plain http") << "G|https://|http://" << "google" << false;
        QTest::newRow("port 8443") << "G|.com/|.com:8443/" << "google" << false;
        QTest::newRow("user") << "G|https://|https://me@" << "google" << false;
        QTest::newRow("user and password") << "G|https://|https://me:pw@" << "google" << false;
        QTest::newRow("empty user") << "G|https://|https://@" << "google" << false;
        QTest::newRow("no host") << "G|accounts.google.com|" << "google" << false;
        QTest::newRow("unknown provider") << "G" << "microsoft" << false;
        QTest::newRow("provider is case-sensitive") << "G" << "Google" << false;
        QTest::newRow("zoho path at google") << "G|/o/oauth2/v2/auth|/oauth/v2/auth" << "google" << false;
        QTest::newRow("google path at zoho") << "Z|/oauth/v2/auth|/o/oauth2/v2/auth" << "zoho" << false;
        QTest::newRow("path with trailing slash") << "G|/v2/auth?|/v2/auth/?" << "google" << false;
        QTest::newRow("google host for zoho") << "Z|accounts.zoho.com|accounts.google.com" << "zoho" << false;
        QTest::newRow("zoho host for google") << "G|accounts.google.com|accounts.zoho.com" << "google" << false;
        QTest::newRow("subdomain") << "G|accounts.google|evil.accounts.google" << "google" << false;
        QTest::newRow("suffix host") << "G|.com/|.com.evil.example/" << "google" << false;
        QTest::newRow("trailing dot") << "G|.com/|.com./" << "google" << false;
        QTest::newRow("state twice") << "G+&state=again" << "google" << false;
        QTest::newRow("no query") << "https://accounts.google.com/o/oauth2/auth" << "google" << false;
        QTest::newRow("response_type token") << "G|=code|=token" << "google" << false;
        QTest::newRow("response_type missing") << "G|response_type=code&|" << "google" << false;
        QTest::newRow("empty client_id") << "G|client_id=abc|client_id=" << "google" << false;
        QTest::newRow("client_id without value") << "G|client_id=abc|client_id" << "google" << false;
        QTest::newRow("client_id missing") << "G|client_id=abc&|" << "google" << false;
        QTest::newRow("empty state") << "G|state=s1|state=" << "google" << false;
        QTest::newRow("state missing") << "G|state=s1&|" << "google" << false;
        QTest::newRow("redirect missing") << "G?response_type=code&client_id=a&state=b" << "google" << false;
        QTest::newRow("redirect not a url") << redirect("%5Bx") << "google" << false;
        QTest::newRow("redirect with query") << "G+%3Fx%3D1" << "google" << false;
        QTest::newRow("redirect with empty query") << "G+%3F" << "google" << false;
        QTest::newRow("redirect with fragment") << "G+%23f" << "google" << false;
        QTest::newRow("redirect with user") << "G|https%3A%2F%2F|https%3A%2F%2Fu%40" << "google" << false;
        QTest::newRow("zoho callback at google") << "G|google-oauth|zoho-oauth" << "google" << false;
        QTest::newRow("callback with trailing slash") << "G+%2F" << "google" << false;
        QTest::newRow("redirect to other host") << "G|onboarding.quorvantis.dev|evil.example" << "google" << false;
        QTest::newRow("redirect to subdomain") << "G|onboarding.quorvantis|x.onboarding.quorvantis" << "google" << false;
        QTest::newRow("redirect on port 8443") << "G|dev%2F|dev%3A8443%2F" << "google" << false;
        QTest::newRow("redirect on port 443") << "G|dev%2F|dev%3A443%2F" << "google" << true;
        QTest::newRow("redirect over plain http") << "G|https%3A%2F%2Fon|http%3A%2F%2Fon" << "google" << false;
        QTest::newRow("loopback without port") << redirect("http%3A%2F%2Flocalhost%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback") << "google" << false;
        QTest::newRow("loopback other port") << redirect("http%3A%2F%2Flocalhost%3A3001%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback") << "google" << false;
        QTest::newRow("loopback over https") << redirect("https%3A%2F%2Flocalhost%3A3000%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback") << "google" << false;
        QTest::newRow("loopback address") << redirect("http%3A%2F%2F127.0.0.1%3A3000%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback") << "google" << false;
    }
    void authorizationURL()
    {
        QFETCH(QString, url);
        QFETCH(QString, provider);
        const std::optional<QUrl> result = Parser::validatedAuthorizationURL(page(url), provider);
        QTEST(result.has_value(), "accepted");
        if (result)
            QCOMPARE(*result, QUrl(page(url), QUrl::StrictMode));
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
        QTest::newRow("text form") << "Workspace account created (Google):\nsome other output\nEmail:  agent@corp.example\nPassword: two words\nG" << "google agent@corp.example two words";
        QTest::newRow("lower-case provider line") << "Workspace account created (google):\nEmail: a@b.c\nPassword: pw\nG" << "";
        QTest::newRow("page before password, then again") << "Workspace account created (Zoho):\nEmail: a@b.c\nZ\nPassword: pw\nZ" << "zoho a@b.c pw";
        QTest::newRow("the other provider's page") << "Workspace account created (Zoho):\nEmail: a@b.c\nPassword: pw\nG" << "";
        QTest::newRow("a page with a blank") << "Workspace account created (Zoho):\nEmail: a@b.c\nPassword: pw\nZ|state=s1|state=s 1" << "";
        QTest::newRow("any order, a later page") << "Password: pw\nEmail: a@b.c\nWorkspace account created (Zoho):\nZ\nEmail: second@b.c\nZ|.com/|.eu/" << "zoho a@b.c pw,zoho second@b.c pw";
        QTest::newRow("JSON leaves the pending lines") << "Email: first@b.c\n" + json("google", "json@b.c", "pw", "G") + "\nWorkspace account created (Google):\nPassword: p2\nG" << "google json@b.c pw,google first@b.c p2";
    }
    void outputLines()
    {
        QFETCH(QString, lines);
        QStringList records;
        const auto intercept = authorizationInterceptor([&records](const JITWorkspaceAuthorization &r) {
            records << QStringList{r.provider, r.email, r.password}.join(u' ');
        });
        for (const QString &line : lines.split(u'\n')) {
            const auto before = records.size();
            const bool taken = intercept(page(line));
            QCOMPARE(taken, records.size() > before); // only the line that completes a record is taken
        }
        QTEST(records.join(u','), "records");
    }

    void credentialLimits_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        const QString at320 = QString(316, u'a') + "@b.c";
        QString flags, accents;
        for (int i = 0; i < 1025; ++i) {
            flags += i < 1024 ? QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3") : QString();
            accents += QStringLiteral("e\u0301");
        }
        QTest::newRow("ordinary") << "a@b.c" << "pw" << true;
        QTest::newRow("email of 320") << at320 << "pw" << true;
        QTest::newRow("email of 321") << "a" + at320 << "pw" << false;
        QTest::newRow("email without at") << "ab.c" << "pw" << false;
        QTest::newRow("password of 1024") << "a@b.c" << QString(1024, u'p') << true;
        QTest::newRow("password of 1025") << "a@b.c" << QString(1025, u'p') << false;
        QTest::newRow("password of 1024 flags") << "a@b.c" << flags << true; // 4096 UTF-16 units QTest::newRow("password of 1025 accented letters") << "a@b.c" << accents << false;
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
        // The empty password exists only in the JSON form, and is refused there too.
        QVERIFY(!Parser::jsonEvent(json("google", email, QString(), "G")));
    }

    void jsonEvent_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("valid") << json("google", "a@b.c", "p w", "G") << true;
        QTest::newRow("valid zoho") << json("zoho", "a@b.c", "pw", "Z") << true;
        QTest::newRow("escaped type") << json("google", "a@b.c", "pw", "G").replace("jitA", "jit\\u0041") << true;
        QTest::newRow("extra key") << json("google", "a@b.c", "pw", "G", ",\"expiresAt\":\"x\"") << false;
        QTest::newRow("duplicate key") << json("google", "a@b.c", "pw", "G", ",\"authUrl\":\"https://evil.example/\"") << false;
        QTest::newRow("capitalised provider") << json("Google", "a@b.c", "pw", "G") << false;
        QTest::newRow("other type") << json("google", "a@b.c", "pw", "G").replace("jitAuthorization", "progress") << false;
        QTest::newRow("missing key") << "{\"type\":\"jitAuthorization\",\"provider\":\"google\",\"email\":\"a@b.c\",\"password\":\"pw\"}" << false;
        QTest::newRow("non-string password") << json("google", "a@b.c", "pw", "G").replace("\"pw\"", "5") << false;
        QTest::newRow("bad url") << json("google", "a@b.c", "pw", "G|https|http") << false;
        QTest::newRow("array") << "[\"jitAuthorization\"]" << false;
        QTest::newRow("malformed") << "{\"type\":\"jitAuthorization\",}" << false;
        QTest::newRow("trailing garbage") << json("google", "a@b.c", "pw", "G") + "}" << false;
        QTest::newRow("nested object is an extra key") << json("google", "a@b.c", "pw", "G", ",\"x\":{\"type\":1}") << false;
    }
    void jsonEvent()
    {
        QFETCH(QString, line);
        QFETCH(bool, accepted);
        QCOMPARE(Parser::jsonEvent(line).has_value(), accepted);
        QCOMPARE(Parser().consume(line).has_value(), accepted);
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
        QTest::addColumn<QString>("steps"); // rec / old: a record from the current / a superseded run;
        // open, open0, open!: opens / refused / fails; begin: a new run; clear: the run ended
        QTest::addColumn<QString>("state"); // the e-mail shown, "failed" when the page did not open, pages opened
        QTest::newRow("nothing to open") << "open" << " 0";
        QTest::newRow("opened") << "rec open" << "bot@example.org 1";
        QTest::newRow("refused, the record stays") << "rec open0" << "bot@example.org failed 1";
        QTest::newRow("open fails") << "rec open!" << "bot@example.org failed 1";
        QTest::newRow("refused, then opened") << "rec open0 open" << "bot@example.org 2";
        QTest::newRow("a new record clears the failure") << "rec open0 rec2" << "second@example.org 1";
        QTest::newRow("a superseded run is ignored") << "rec old" << "bot@example.org 0";
        QTest::newRow("a new run takes it all away") << "rec open0 begin" << " 1";
        QTest::newRow("an ended run takes the record") << "rec open0 clear" << " failed 1";
    }
    void controller()
    {
        QFETCH(QString, steps);
        ControllerHarness h;
        auto opens = std::make_shared<ScriptedAnswer>();
        bool throws = false;
        AuthorizationController c(h.context(), {[opens, &throws](QUrl url) { return opens->opened << url, openPage(opens, throws); }});
        for (const QString &step : steps.split(u' ')) {
            opens->answers = {step != u"open0"};
            throws = step == u"open!";
            if (step == u"rec" || step == u"rec2" || step == u"old")
                c.handlerFor([step] { return step != u"old"; })(authorization(step == u"old" ? "old@example.org" : step == u"rec" ? "bot@example.org" : "second@example.org"));
            if (step.startsWith(u"open"))
                await(c.openSetupAuthorization());
            if (step == u"begin")
                c.beginRun();
            if (step == u"clear")
                c.clear();
        }
        const auto &record = c.setupAuthorization();
        QTEST(QStringList({record ? record->email : "", c.setupAuthorizationOpenFailed() ? "failed" : "", QString::number(opens->calls)}).join(u' ').replace("  ", " "), "state");
        QVERIFY(!c.isOpeningSetupAuthorization() && h.failures.isEmpty() && !h.attention().lastError());
        for (const QUrl &url : std::as_const(opens->opened))
            QCOMPARE(url, authorization().authURL);
    }

    void secondPressWhileOpening()
    {
        ControllerHarness h;
        auto opens = std::make_shared<ScriptedAnswer>();
        opens->gate = std::make_shared<Gate>();
        AuthorizationController c(h.context(), {[opens](QUrl) { return openPage(opens, false); }});
        c.handlerFor([] { return true; })(authorization());
        auto first = c.openSetupAuthorization();
        QVERIFY(c.isOpeningSetupAuthorization());
        await(c.openSetupAuthorization());
        QCOMPARE(opens->calls, 1);
        opens->gate->open();
        await(std::move(first));
        QVERIFY(!c.isOpeningSetupAuthorization() && !c.setupAuthorizationOpenFailed());
        // A handler that outlives its controller does nothing (the sanitizer would tell).
        auto handler = std::make_unique<AuthorizationController>(h.context(), AuthorizationController::Effects{})->handlerFor([] { return true; });
        handler(authorization());
    }
};

QTEST_GUILESS_MAIN(AuthorizationTests)
#include "AuthorizationTests.moc"
