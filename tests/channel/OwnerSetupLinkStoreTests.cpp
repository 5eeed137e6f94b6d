#include "channel/OwnerSetupLinkStore.h"

#include "support/AwaitTask.h"

#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

using QuorvantisTest::await;

namespace {

OwnerSetupLink linkFor(const QString &agent, std::optional<QDateTime> expiresAt = std::nullopt)
{
    return {QUrl(QStringLiteral("https://onboarding.example.test/api/agents/%1/setup#tok-%1").arg(agent)), expiresAt};
}

} // namespace

class OwnerSetupLinkStoreTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QList<OwnerSetupLinkStore> m_used;

    // A store of its own per test, so parallel runs and earlier failures cannot interfere.
    OwnerSetupLinkStore freshStore(const QString &name)
    {
        const auto store = OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(name));
        m_used.append(store);
        await(store.save(std::nullopt));
        return store;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        const QString account = m_root.filePath(QStringLiteral("probe"));
        QVERIFY2(await(OwnerSetupLinkStore::writeData(OwnerSetupLinkStore::defaultService(), account, QByteArray("probe"))),
                 "no usable Secret Service: run inside dbus-run-session with an unlocked gnome-keyring-daemon");
        await(OwnerSetupLinkStore::writeData(OwnerSetupLinkStore::defaultService(), account, std::nullopt));
    }

    void cleanupTestCase()
    {
        for (const auto &store : std::as_const(m_used))
            await(store.save(std::nullopt));
    }

    void linkWithoutExpiryStoresOnlyTheURL()
    {
        const auto store = freshStore(QStringLiteral("no-expiry"));
        const OwnerSetupLink link = linkFor(QStringLiteral("ops-bot"));
        await(store.save(link));

        const auto raw = await(OwnerSetupLinkStore::readData(store.service(), store.account()));
        QVERIFY(raw);
        const auto json = nlohmann::json::parse(raw->toStdString());
        const nlohmann::json expected = {{"url", link.url.toString().toStdString()}};
        QVERIFY2(json == expected, json.dump().c_str());

        const auto loaded = await(store.load());
        QVERIFY(loaded);
        QCOMPARE(*loaded, link);
        QVERIFY(!loaded->expiresAt);
    }

    void linkWithExpiryRoundTrips()
    {
        const auto store = freshStore(QStringLiteral("expiry"));
        const OwnerSetupLink link =
            linkFor(QStringLiteral("ops-bot"), QDateTime::fromString(QStringLiteral("2026-05-01T10:00:00.750Z"), Qt::ISODateWithMs));
        await(store.save(link));
        const auto raw = await(OwnerSetupLinkStore::readData(store.service(), store.account()));
        QVERIFY(raw);
        QCOMPARE(nlohmann::json::parse(raw->toStdString()).at("expiresAt").get<double>(), 799322400.75);
        QCOMPARE(await(store.load()), std::optional<OwnerSetupLink>(link));
    }

    void saveReplacesTheEntry()
    {
        const auto store = freshStore(QStringLiteral("replace"));
        await(store.save(linkFor(QStringLiteral("first"), QDateTime::currentDateTimeUtc())));
        const OwnerSetupLink second = linkFor(QStringLiteral("second"));
        await(store.save(second));
        QCOMPARE(await(store.load()), std::optional<OwnerSetupLink>(second));
    }

    void savingAbsentRemovesTheEntry()
    {
        const auto store = freshStore(QStringLiteral("remove"));
        await(store.save(linkFor(QStringLiteral("ops-bot"))));
        QVERIFY(await(store.load()));
        await(store.save(std::nullopt));
        QVERIFY(!await(store.load()));
        QVERIFY(!await(OwnerSetupLinkStore::readData(store.service(), store.account())));
        // Removing what is not there is no failure either.
        await(store.save(std::nullopt));
        QVERIFY(!await(store.load()));
    }

    void unusableDataLoadsAsAbsent_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("not JSON") << QByteArray("https://onboarding.example.test/api/agents/a/setup#t");
        QTest::newRow("JSON without url") << QByteArray("{\"expiresAt\":799322400}");
        QTest::newRow("url of the wrong type") << QByteArray("{\"url\":[\"x\"]}");
        QTest::newRow("JSON array") << QByteArray("[{\"url\":\"https://h.test/\"}]");
    }

    void unusableDataLoadsAsAbsent()
    {
        QFETCH(QByteArray, data);
        const auto store = freshStore(QStringLiteral("invalid-") + QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(await(OwnerSetupLinkStore::writeData(store.service(), store.account(), data)));
        QCOMPARE(await(OwnerSetupLinkStore::readData(store.service(), store.account())), std::optional<QByteArray>(data));
        QVERIFY(!await(store.load()));
    }

    void profileDirectoriesKeepSeparateEntries()
    {
        const auto first = freshStore(QStringLiteral("profiles/one"));
        const auto second = freshStore(QStringLiteral("profiles/two"));
        QVERIFY(first.account() != second.account());
        const OwnerSetupLink one = linkFor(QStringLiteral("one"));
        const OwnerSetupLink two = linkFor(QStringLiteral("two"));
        await(first.save(one));
        await(second.save(two));
        QCOMPARE(await(first.load()), std::optional<OwnerSetupLink>(one));
        QCOMPARE(await(second.load()), std::optional<OwnerSetupLink>(two));

        await(first.save(std::nullopt));
        QVERIFY(!await(first.load()));
        QCOMPARE(await(second.load()), std::optional<OwnerSetupLink>(two));

        // The same directory written differently is the same entry.
        const auto again = OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(QStringLiteral("profiles/x/../two/.")));
        QCOMPARE(again.account(), second.account());
        QCOMPARE(await(again.load()), std::optional<OwnerSetupLink>(two));
    }

    void storeMayGoAwayWhileSaving()
    {
        const QString account = m_root.filePath(QStringLiteral("temporary"));
        m_used.append(OwnerSetupLinkStore(OwnerSetupLinkStore::defaultService(), account));
        const OwnerSetupLink link = linkFor(QStringLiteral("temp"));
        auto task = OwnerSetupLinkStore(OwnerSetupLinkStore::defaultService(), account).save(link);
        await(std::move(task));
        QCOMPARE(await(OwnerSetupLinkStore(OwnerSetupLinkStore::defaultService(), account).load()),
                 std::optional<OwnerSetupLink>(link));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupLinkStoreTests)
#include "OwnerSetupLinkStoreTests.moc"
