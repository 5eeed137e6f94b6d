// The binding link in a real keychain (Secret Service), one entry per profile directory. Run inside
// dbus-run-session with an unlocked gnome-keyring-daemon (as scripts/test does).
#include "channel/OwnerSetupLinkStore.h"
#include "support/AwaitTask.h"

#include <QTemporaryDir>
#include <QTest>

using QuorvantisTest::await;

class OwnerSetupLinkStoreTests : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;

    static OwnerSetupLink link(const QString &token, std::optional<QDateTime> expiresAt = std::nullopt)
    {
        return {QUrl(QStringLiteral("https://on.example.test/api/agents/a/setup#") + token), expiresAt};
    }
    static QByteArray raw(const OwnerSetupLinkStore &store)
    {
        return await(OwnerSetupLinkStore::readData(store.service(), store.account())).value_or("none");
    }

private Q_SLOTS:
    void entries()
    {
        const auto one = OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(QStringLiteral("profiles/one")));
        const auto two = OwnerSetupLinkStore::forProfileDirectory(m_root.filePath(QStringLiteral("profiles/two")));
        QCOMPARE(one.service(), QStringLiteral("com.quorvantis.macos.owner-setup"));
        QCOMPARE(one.account(), m_root.filePath(QStringLiteral("profiles/one")));
        // The entry is the link's JSON form; a new one replaces it, the store may go away while it saves.
        const QDateTime expiry = QDateTime::fromString(QStringLiteral("2026-05-01T10:00:00.750Z"), Qt::ISODateWithMs);
        await(one.save(link(QStringLiteral("first"), expiry)));
        QCOMPARE(raw(one), "{\"expiresAt\":799322400.75,\"url\":\"https://on.example.test/api/agents/a/setup#first\"}");
        await(OwnerSetupLinkStore(one.service(), one.account()).save(link(QStringLiteral("second"))));
        QCOMPARE(raw(one), "{\"url\":\"https://on.example.test/api/agents/a/setup#second\"}");
        QCOMPARE(await(one.load()), std::optional(link(QStringLiteral("second"))));
        // Entries are per profile directory; the same directory written differently is the same entry.
        await(two.save(link(QStringLiteral("two"))));
        await(one.save(std::nullopt));
        QCOMPARE(raw(one), "none");
        QVERIFY(!await(one.load()));
        await(one.save(std::nullopt)); // removing what is not there is no failure either
        const QString written = m_root.filePath(QStringLiteral("profiles/x/../two/./"));
        const auto twoAgain = OwnerSetupLinkStore::forProfileDirectory(written);
        QCOMPARE(await(twoAgain.load()), std::optional(link(QStringLiteral("two"))));
        // What does not decode as a link loads as none.
        QVERIFY(await(OwnerSetupLinkStore::writeData(two.service(), two.account(), "https://on.example.test/a#t")));
        QVERIFY(!await(two.load()));
        await(two.save(std::nullopt));
    }
};

QTEST_GUILESS_MAIN(OwnerSetupLinkStoreTests)
#include "OwnerSetupLinkStoreTests.moc"
