// The binding link in a real keychain (Secret Service).
#include "channel/OwnerSetupLinkStore.h"
#include "support/AwaitTask.h"

#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

using QuorvantisTest::await;

Q_DECLARE_METATYPE(std::optional<QDateTime>)

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

    // A store of its own per test, so earlier failures cannot interfere.
    OwnerSetupLinkStore freshStore(const QString &name)
    {
        const auto store = OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(name));
        m_used.append(store);
        await(store.save(std::nullopt));
        return store;
    }
    std::optional<nlohmann::json> raw(const OwnerSetupLinkStore &store)
    {
        const auto data = await(OwnerSetupLinkStore::readData(store.service(), store.account()));
        return data ? std::optional(nlohmann::json::parse(data->toStdString(), nullptr, false)) : std::nullopt;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(await(OwnerSetupLinkStore::writeData(OwnerSetupLinkStore::defaultService(), m_root.filePath("probe"), "probe")),
                 "no usable Secret Service: run inside dbus-run-session with an unlocked gnome-keyring-daemon");
        await(OwnerSetupLinkStore::writeData(OwnerSetupLinkStore::defaultService(), m_root.filePath("probe"), std::nullopt));
    }
    void cleanupTestCase()
    {
        for (const auto &store : std::as_const(m_used))
            await(store.save(std::nullopt));
    }

    void roundTrip_data()
    {
        QTest::addColumn<std::optional<QDateTime>>("expiresAt");
        QTest::addColumn<QString>("stored"); // the entry's JSON
        QTest::newRow("without expiry") << std::optional<QDateTime>() << "{\"url\":\"https://onboarding.example.test/api/agents/ops-bot/setup#tok-ops-bot\"}";
        QTest::newRow("with expiry") << std::optional(QDateTime::fromString("2026-05-01T10:00:00.750Z", Qt::ISODateWithMs)) << "{\"url\":\"https://onboarding.example.test/api/agents/ops-bot/setup#tok-ops-bot\"," "\"expiresAt\":799322400.75}";
    }
    void roundTrip()
    {
        QFETCH(std::optional<QDateTime>, expiresAt);
        QFETCH(QString, stored);
        const auto store = freshStore(QString::fromLatin1(QTest::currentDataTag()));
        const OwnerSetupLink link = linkFor(QStringLiteral("ops-bot"), expiresAt);
        await(store.save(link));
        QVERIFY(raw(store) == std::optional(nlohmann::json::parse(stored.toStdString())));
        QCOMPARE(await(store.load()), std::optional(link));
    }

    void replaceRemoveAndUnusableData()
    {
        const auto store = freshStore(QStringLiteral("replace"));
        await(store.save(linkFor(QStringLiteral("first"), QDateTime::currentDateTimeUtc())));
        await(store.save(linkFor(QStringLiteral("second"))));
        QCOMPARE(await(store.load()), std::optional(linkFor(QStringLiteral("second"))));
        await(store.save(std::nullopt));
        QVERIFY(!await(store.load()) && !raw(store));
        await(store.save(std::nullopt)); // removing what is not there is no failure either
        QVERIFY(!await(store.load()));
        // What does not decode as a link loads as none.
        QVERIFY(await(OwnerSetupLinkStore::writeData(store.service(), store.account(), "https://h.test/api/agents/a/setup#t")));
        QVERIFY(!await(store.load()));
    }

    void oneEntryPerProfileDirectory()
    {
        const auto first = freshStore(QStringLiteral("profiles/one"));
        const auto second = freshStore(QStringLiteral("profiles/two"));
        await(first.save(linkFor(QStringLiteral("one"))));
        // The store may go away while it saves.
        auto saving = OwnerSetupLinkStore(second.service(), second.account()).save(linkFor(QStringLiteral("two")));
        await(std::move(saving));
        await(first.save(std::nullopt));
        QVERIFY(!await(first.load()));
        // The same directory written differently is the same entry.
        const auto again = OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(QStringLiteral("profiles/x/../two/.")));
        QCOMPARE(await(again.load()), std::optional(linkFor(QStringLiteral("two"))));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupLinkStoreTests)
#include "OwnerSetupLinkStoreTests.moc"
