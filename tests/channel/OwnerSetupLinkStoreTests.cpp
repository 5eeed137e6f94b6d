// The binding link in a real keychain (Secret Service), one entry per profile directory.
#include "channel/OwnerSetupLinkStore.h"
#include "support/AwaitTask.h"

#include <QTemporaryDir>
#include <QTest>

using QuorvantisTest::await;

class OwnerSetupLinkStoreTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QList<OwnerSetupLinkStore> m_used;

    OwnerSetupLinkStore store(const QString &name)
    {
        m_used.append(OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(name)));
        return m_used.last();
    }
    static OwnerSetupLink link(const QString &token, std::optional<QDateTime> expiresAt = std::nullopt)
    {
        return {QUrl(QStringLiteral("https://on.example.test/api/agents/a/setup#") + token), expiresAt};
    }
    static QByteArray raw(const OwnerSetupLinkStore &store)
    {
        return await(OwnerSetupLinkStore::readData(store.service(), store.account())).value_or("none");
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
        for (const auto &used : std::as_const(m_used))
            await(used.save(std::nullopt));
    }

    void entries()
    {
        const auto one = store(QStringLiteral("profiles/one")), two = store(QStringLiteral("profiles/two"));
        QCOMPARE(one.service(), QStringLiteral("com.quorvantis.macos.owner-setup"));
        QCOMPARE(one.account(), m_root.filePath(QStringLiteral("profiles/one")));
        // The entry is the link's JSON form; a new one replaces it, the store may go away while it saves.
        await(one.save(link(QStringLiteral("first"), QDateTime::fromString(QStringLiteral("2026-05-01T10:00:00.750Z"), Qt::ISODateWithMs))));
        QCOMPARE(raw(one), QByteArray("{\"expiresAt\":799322400.75,\"url\":\"https://on.example.test/api/agents/a/setup#first\"}"));
        auto saving = OwnerSetupLinkStore(one.service(), one.account()).save(link(QStringLiteral("second")));
        await(std::move(saving));
        QCOMPARE(raw(one), QByteArray("{\"url\":\"https://on.example.test/api/agents/a/setup#second\"}"));
        QCOMPARE(await(one.load()), std::optional(link(QStringLiteral("second"))));
        // Entries are per profile directory; the same directory written differently is the same entry.
        await(two.save(link(QStringLiteral("two"))));
        await(one.save(std::nullopt));
        QCOMPARE(raw(one), QByteArray("none"));
        QVERIFY(!await(one.load()));
        await(one.save(std::nullopt)); // removing what is not there is no failure either
        QCOMPARE(await(OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(QStringLiteral("profiles/x/../two/./"))).load()), std::optional(link(QStringLiteral("two"))));
        // What does not decode as a link loads as none.
        QVERIFY(await(OwnerSetupLinkStore::writeData(two.service(), two.account(), "https://on.example.test/api/agents/a/setup#t")));
        QVERIFY(!await(two.load()));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupLinkStoreTests)
#include "OwnerSetupLinkStoreTests.moc"
