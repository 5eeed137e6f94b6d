// The authorization request in a setup run's output, and the controller that shows it.
#include "authorization/AuthorizationController.h"
#include "authorization/JITAuthorizationParser.h"
#include "core/Configuration.h"
#include "support/ControllerHarness.h"

using namespace QuorvantisTest;
using Parser = JITAuthorizationOutputParser;

namespace {

const QString callback =
    QStringLiteral("https%3A%2F%2Fonboarding.quorvantis.dev%2Fapi%2Fprofiles%2FPROVIDER-oauth%2Fcallback");
const QString query = QStringLiteral("response_type=code&client_id=abc&state=s1&redirect_uri=") + callback;

// G and Z: a valid google / zoho authorization page; "G|a|b" replaces a by b in it, "G+x" appends x,
// "G?q" takes the query q (PROVIDER in a callback: the provider's name).
QString page(const QString &shape)
{
    if (!shape.startsWith(u'G') && !shape.startsWith(u'Z'))
        return shape;
    const bool google = shape.startsWith(u'G');
    QString url = google ? QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth?")
                         : QStringLiteral("https://accounts.zoho.com/oauth/v2/auth?");
    url += shape.mid(1, 1) == u"?" ? shape.mid(2) : query;
    url.replace(QStringLiteral("PROVIDER"), google ? "google" : "zoho");
    const QStringList parts = shape.mid(1).split(u'|');
    if (shape.mid(1, 1) == u"|")
        url.replace(parts.value(1), parts.value(2));
    if (shape.mid(1, 1) == u"+")
        url += shape.mid(2);
    return url;
}

QString json(const QString &provider, const QString &email, const QString &password, const QString &url,
             const QString &extra = {})
{
    const QString event = QStringLiteral("{\"type\":\"jitAuthorization\",\"provider\":\"%1\",\"email\":\"%2\",")
        + QStringLiteral("\"password\":\"%3\",\"authUrl\":\"%4\"%5}");
    return event.arg(provider, email, password, page(url), extra);
}

} // namespace

class AuthorizationTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void authorizationURL_data()
    {
        columns<QString, QStringList, bool>({"provider", "urls", "accepted"});
        const auto row = [](const char *name, const char *provider, bool accepted, const QStringList &urls) {
            QTest::newRow(name) << QString(provider) << urls << accepted;
        };
        const QString padded = page("G?response_type=code&client_id=abc&redirect_uri=" + callback + "&state=");
        const auto redirect = [](const char *uri) {
            return "G?response_type=code&client_id=a&state=b&redirect_uri=http" + QString::fromLatin1(uri)
                + "%2Fapi%2Fprofiles%2Fgoogle-oauth%2Fcallback";
        };
        row("google", "google", true,
            {"G", "G|/v2/auth|/auth", "G|https://accounts.google.com|HTTPS://ACCOUNTS.Google.com", "G|.com/|.com:443/",
             redirect("%3A%2F%2Flocalhost%3A3000"), padded + QString(2048 - padded.size(), u's')});
        QStringList zoho; // every region's page
        for (const QString &host : Configuration::zohoOAuthHosts())
            zoho << "Z|accounts.zoho.com|" + host;
        row("zoho", "zoho", true, zoho);
        row("zoho's pages for google", "google", false, zoho);
        // What a page of the provider's that sends the owner back to the onboarding service must not be.
        row("longer than 2048", "google", false, {padded + QString(2049 - padded.size(), u's')});
        row("with blanks", "google", false, {"G|state=s1|state=s 1", "G+\u00A0"});
        row("unknown provider", "microsoft", false, {"G"});
        row("elsewhere", "google", false,
            {"https://[broken/o/oauth2/auth", "G|.com/|.com\\@evil.example/", "G|https://|http://", "G|.com/|.com:84/",
             "G|https://|https://me@", "G|accounts.google.com|", "G|/o/oauth2/v2/auth|/oauth/v2/auth",
             "G|accounts.google.com|accounts.zoho.com", "G|accounts.google|evil.accounts.google", "G|.com/|.com./"});
        row("query", "google", false,
            {"G+&state=again", "G|=code|=token", "G|response_type=code&|", "G|client_id=abc|client_id=",
             "G|state=s1&|"});
        row("redirect", "google", false,
            {"G?response_type=code&client_id=a&state=b", "G+%3Fx%3D1", "G+%23f", "G+%2F",
             "G|https%3A%2F%2F|https%3A%2F%2Fu%40", "G|google-oauth|zoho-oauth"});
        row("redirect origin", "google", false,
            {"G|onboarding.quorvantis.dev|evil.example", "G|onboarding.quorvantis|x.onboarding.quorvantis",
             "G|dev%2F|dev%3A8443%2F", "G|https%3A%2F%2Fon|http%3A%2F%2Fon", redirect("%3A%2F%2Flocalhost"),
             redirect("%3A%2F%2Flocalhost%3A3001"), redirect("%3A%2F%2F127.0.0.1%3A3000")});
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

    void outputLines_data()
    {
        // lines — "G"/"Z" for a page as above
        // records — provider, e-mail and password of each record
        columns<QString, QString>({"lines", "records"});
        const QString created = QStringLiteral("Workspace account created (%1):\n");
        QTest::newRow("text form") << created.arg("Google") + "some other output\nEmail:  a@b.c\nPassword: two words\nG"
                                   << "google a@b.c two words";
        QTest::newRow("lower-case provider line") << created.arg("google") + "Email: a@b.c\nPassword: pw\nG" << "";
        QTest::newRow("the other provider's page") << created.arg("Zoho") + "Email: a@b.c\nPassword: pw\nG" << "";
        QTest::newRow("page before password, then again") << created.arg("Zoho") + "Email: a@b.c\nZ\nPassword: pw\nZ"
                                                          << "zoho a@b.c pw";
        // The JSON event: exactly these keys, once each, and a valid page.
        const QString event = json("google", "a@b.c", "pw", "G");
        QTest::newRow("JSON") << json("google", "a@b.c", "p w", "G") << "google a@b.c p w";
        QTest::newRow("JSON, extra key") << json("google", "a@b.c", "pw", "G", ",\"expiresAt\":\"x\"") << "";
        QTest::newRow("JSON, duplicate key") << json("google", "a@b.c", "pw", "G", ",\"email\":\"x@b.c\"") << "";
        QTest::newRow("JSON, other type") << QString(event).replace("jitAuthorization", "progress") << "";
        QTest::newRow("JSON, missing key") << event.section(",\"authUrl\"", 0, 0) + "}" << "";
        QTest::newRow("JSON, password not text") << QString(event).replace("\"pw\"", "5") << "";
        QTest::newRow("JSON, empty password") << json("google", "a@b.c", "", "G") << "";
        QTest::newRow("JSON, bad page") << json("google", "a@b.c", "pw", "G|https|http") << "";
        QTest::newRow("JSON, trailing garbage") << event + "}" << "";
    }
    void outputLines()
    {
        QFETCH(QString, lines);
        QStringList records;
        const auto intercept = authorizationInterceptor([&records](const JITWorkspaceAuthorization &r) {
            records << r.provider + ' ' + r.email + ' ' + r.password;
        });
        for (const QString &line : lines.split(u'\n')) {
            const auto before = records.size();
            const bool taken = intercept(page(line));
            QCOMPARE(taken, records.size() > before); // only the line that completes a record is taken
        }
        QTEST(records.join(u','), "records");
    }

    // Limits in user-perceived characters.
    void credentialLimits_data()
    {
        columns<QString, QString, bool>({"email", "password", "accepted"});
        const QString at320 = QString(316, u'a') + "@b.c";
        const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
        QTest::newRow("email of 320") << at320 << "pw" << true;
        QTest::newRow("email of 321") << "a" + at320 << "pw" << false;
        QTest::newRow("email without at") << "ab.c" << "pw" << false;
        QTest::newRow("password of 1024") << "a@b.c" << QString(1024, u'p') << true;
        QTest::newRow("password of 1025") << "a@b.c" << QString(1025, u'p') << false;
        QTest::newRow("password of 1024 flags") << "a@b.c" << flag.repeated(1024) << true; // 4096 UTF-16 units
        QTest::newRow("password of 1025 accents") << "a@b.c" << QStringLiteral("e\u0301").repeated(1025) << false;
    }
    void credentialLimits()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        Parser parser;
        parser.consume(QStringLiteral("Workspace account created (Google):"));
        parser.consume("Email: " + email);
        parser.consume("Password: " + password);
        QCOMPARE(parser.consume(page("G")).has_value(), accepted);
        QCOMPARE(Parser::jsonEvent(json("google", email, password, "G")).has_value(), accepted);
    }

    void controller_data()
    {
        // record, stale: a record of the current run, one of a superseded run; open[:refused]: the page
        // opens / is refused; hold / free: the page opens only when freed; running: whether it is opening;
        // begin: a new run; clear: the run ended
        // state — the e-mail shown, "failed" when the page did not open, pages opened
        columns<QString, QString>({"steps", "state"});
        QTest::newRow("opened") << "record; open" << "bot@example.org 1";
        QTest::newRow("refused, the record stays") << "record; open:refused" << "bot@example.org failed 1";
        QTest::newRow("a superseded run is ignored") << "record; stale" << "bot@example.org 0";
        QTest::newRow("a new run takes it all away") << "record; open:refused; begin" << "1";
        QTest::newRow("an ended run takes the record") << "record; open:refused; clear" << "failed 1";
        QTest::newRow("a second press while opening")
            << "record; hold; open~; running; open; free" << "bot@example.org opening 1";
    }
    void controller()
    {
        QFETCH(QString, steps);
        ControllerHarness h;
        auto opens = std::make_shared<ScriptedAnswer>();
        AuthorizationController c(h.context(), {[opens](QUrl url) { return reply(opens, url); }});
        QStringList seen;
        std::optional<QCoro::Task<void>> running;
        const auto handle = [&](bool current, const char *email) { c.handlerFor([current] { return current; })(authorization(email)); };
        playSteps(steps, {{"record", [&](const QString &) { handle(true, "bot@example.org"); }},
                          {"stale", [&](const QString &) { handle(false, "old@example.org"); }},
                          {"open", [&](const QString &how) {
                               opens->answers = {how != u"refused"};
                               await(c.openSetupAuthorization());
                           }},
                          {"open~", [&](const QString &) { running = c.openSetupAuthorization(); }},
                          {"hold", [&](const QString &) { opens->gate = std::make_shared<Gate>(); }},
                          {"free", [&](const QString &) {
                               opens->gate->open();
                               await(std::move(*running));
                           }},
                          {"running", [&](const QString &) { seen << (c.isOpeningSetupAuthorization() ? "opening" : "idle"); }},
                          {"begin", [&](const QString &) { c.beginRun(); }}, {"clear", [&](const QString &) { c.clear(); }}});
        const QString email = c.setupAuthorization() ? c.setupAuthorization()->email : QString();
        const QStringList state = QStringList{email, c.setupAuthorizationOpenFailed() ? "failed" : ""} + seen;
        QTEST((state + QStringList{QString::number(opens->calls)}).join(u' ').simplified(), "state");
        QVERIFY(!c.isOpeningSetupAuthorization());
        for (const QUrl &url : std::as_const(opens->opened))
            QCOMPARE(url, authorization().authURL);
    }
};

QTEST_GUILESS_MAIN(AuthorizationTests)
#include "AuthorizationTests.moc"
