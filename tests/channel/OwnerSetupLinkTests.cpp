#include "channel/OwnerSetupLinkStore.h"

#include <QTest>

#include <nlohmann/json.hpp>

namespace {

QDateTime utc(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODateWithMs).toUTC();
}

const QUrl sampleLink(QStringLiteral("https://onboarding.example.test/api/agents/ops-bot/setup?step=1#tok_AbC"));

} // namespace

class OwnerSetupLinkTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodesOnlyWhatIsPresent_data()
    {
        QTest::addColumn<std::optional<QDateTime>>("expiresAt");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("no expiry") << std::optional<QDateTime>()
                                   << QByteArray("{\"url\":\"https://onboarding.example.test/api/agents/ops-bot/setup?step=1#tok_AbC\"}");
        QTest::newRow("whole seconds")
            << std::optional<QDateTime>(utc(QStringLiteral("2026-05-01T10:00:00Z")))
            << QByteArray("{\"expiresAt\":799322400.0,\"url\":\"https://onboarding.example.test/api/agents/ops-bot/setup?step=1#tok_AbC\"}");
        QTest::newRow("fraction")
            << std::optional<QDateTime>(utc(QStringLiteral("2026-05-01T10:00:00.250Z")))
            << QByteArray("{\"expiresAt\":799322400.25,\"url\":\"https://onboarding.example.test/api/agents/ops-bot/setup?step=1#tok_AbC\"}");
        QTest::newRow("before the reference date")
            << std::optional<QDateTime>(utc(QStringLiteral("2000-12-31T23:59:59Z")))
            << QByteArray("{\"expiresAt\":-1.0,\"url\":\"https://onboarding.example.test/api/agents/ops-bot/setup?step=1#tok_AbC\"}");
    }

    void encodesOnlyWhatIsPresent()
    {
        QFETCH(std::optional<QDateTime>, expiresAt);
        QFETCH(QByteArray, expected);
        const OwnerSetupLink link{sampleLink, expiresAt};
        const QByteArray json = link.toJson();
        QVERIFY2(nlohmann::json::parse(json.toStdString()) == nlohmann::json::parse(expected.toStdString()), json.constData());
        const auto decoded = OwnerSetupLink::fromJson(json);
        QVERIFY(decoded);
        QCOMPARE(*decoded, link);
    }

    void decodesTheStoredValue_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("url");
        QTest::addColumn<qint64>("expiresAtMSecs"); // -1: no expiry

        const QString link = QStringLiteral("https://h.test/api/agents/a/setup#t");
        QTest::newRow("url only") << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\"}") << true << link << qint64(-1);
        QTest::newRow("integer seconds") << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\",\"expiresAt\":0}") << true
                                         << link << qint64(978307200000);
        QTest::newRow("fractional seconds")
            << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\",\"expiresAt\":1.5}") << true << link << qint64(978307201500);
        QTest::newRow("null expiry") << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\",\"expiresAt\":null}") << true << link
                                     << qint64(-1);
        QTest::newRow("unknown keys are ignored")
            << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\",\"label\":\"x\"}") << true << link << qint64(-1);
        QTest::newRow("not JSON") << QByteArray("https://h.test/api/agents/a/setup#t") << false << QString() << qint64(-1);
        QTest::newRow("truncated") << QByteArray("{\"url\":\"https://h.test/") << false << QString() << qint64(-1);
        QTest::newRow("empty") << QByteArray() << false << QString() << qint64(-1);
        QTest::newRow("array") << QByteArray("[\"https://h.test/\"]") << false << QString() << qint64(-1);
        QTest::newRow("no url") << QByteArray("{\"expiresAt\":1}") << false << QString() << qint64(-1);
        QTest::newRow("url not text") << QByteArray("{\"url\":7}") << false << QString() << qint64(-1);
        QTest::newRow("empty url") << QByteArray("{\"url\":\"\"}") << false << QString() << qint64(-1);
        QTest::newRow("unparseable url") << QByteArray("{\"url\":\"http://exa mple.test/\"}") << false << QString() << qint64(-1);
        QTest::newRow("relative url") << QByteArray("{\"url\":\"##\"}") << false << QString() << qint64(-1);
        QTest::newRow("plain http") << QByteArray("{\"url\":\"http://h.test/a/setup#t\"}") << false << QString() << qint64(-1);
        QTest::newRow("user information") << QByteArray("{\"url\":\"https://u@h.test/a/setup#t\"}") << false << QString() << qint64(-1);
        QTest::newRow("plain http on localhost") << QByteArray("{\"url\":\"http://localhost:3000/a/setup#t\"}") << true
                                                 << QString("http://localhost:3000/a/setup#t") << qint64(-1);
        QTest::newRow("expiry as text")
            << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\",\"expiresAt\":\"2026-05-01T10:00:00Z\"}") << false << QString()
            << qint64(-1);
        QTest::newRow("absurd expiry") << QByteArray("{\"url\":\"https://h.test/api/agents/a/setup#t\",\"expiresAt\":1e300}") << false
                                       << QString() << qint64(-1);
    }

    void decodesTheStoredValue()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, valid);
        QFETCH(QString, url);
        QFETCH(qint64, expiresAtMSecs);
        const auto link = OwnerSetupLink::fromJson(json);
        QCOMPARE(link.has_value(), valid);
        if (!valid)
            return;
        QCOMPARE(link->url, QUrl(url));
        QCOMPARE(link->expiresAt.has_value(), expiresAtMSecs >= 0);
        if (link->expiresAt)
            QCOMPARE(link->expiresAt->toMSecsSinceEpoch(), expiresAtMSecs);
    }

    void equalityCoversBothFields()
    {
        const OwnerSetupLink a{sampleLink, utc(QStringLiteral("2026-05-01T10:00:00Z"))};
        OwnerSetupLink b = a;
        QCOMPARE(a, b);
        b.expiresAt.reset();
        QVERIFY(!(a == b));
        b = a;
        b.url.setFragment(QStringLiteral("other"));
        QVERIFY(!(a == b));
    }

    void storeIsAddressedByStandardisedProfilePath()
    {
        const auto store = OwnerSetupLinkStore::forProfileDirectory(QStringLiteral("/home/u/.quorvantis/profiles/./x/../default/"));
        QCOMPARE(store.service(), QStringLiteral("com.quorvantis.macos.owner-setup"));
        QCOMPARE(store.account(), QStringLiteral("/home/u/.quorvantis/profiles/default"));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupLinkTests)
#include "OwnerSetupLinkTests.moc"
