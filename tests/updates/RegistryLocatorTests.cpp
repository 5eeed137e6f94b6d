// Which registry the update probe asks: the packager's setting, else what the runtime's package
// manager answers, kept for the launch once it named one.
#include "support/Scripted.h"
#include "support/Test.h"
#include "updates/RegistryLocator.h"

using namespace QuorvantisTest;

class RegistryLocatorTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fromAnswer_data()
    {
        // registry — empty: none
        columns<QString, QString>({"printed", "registry"});
        QTest::newRow("as pnpm prints it") << "https://mirror.example/npm/\n" << "https://mirror.example/npm/";
        QTest::newRow("after the notices of the npm it delegates to")
            << "npm warn Unknown user config \"store-dir\".\nhttp://127.0.0.1:4873/\n\n" << "http://127.0.0.1:4873/";
        QTest::newRow("surrounding blanks") << "  https://r.example/ \r\n" << "https://r.example/";
        QTest::newRow("a key without value") << "undefined\n" << "";
        QTest::newRow("null") << "null" << "";
        QTest::newRow("nothing") << "" << "";
        QTest::newRow("blank lines") << " \n\t\n" << "";
    }
    void fromAnswer()
    {
        QFETCH(QString, printed);
        QTEST(RegistryLocator::fromAnswer(printed).value_or(QString()), "registry");
    }

    void registry_data()
    {
        // answers — the package manager's, in turn: "-" none, "busy" it cannot be asked now
        // results — what each call yields ("-" none, "busy" put off); asked — the package manager asked
        columns<QString, QString, QString, int>({"configured", "answers", "results", "asked"});
        QTest::newRow("the packager's setting wins") << " https://pkg.example/ " << "http://127.0.0.1:1/"
                                                     << "https://pkg.example/ https://pkg.example/" << 0;
        QTest::newRow("a blank setting is none") << " " << "https://m.example/" << "https://m.example/" << 1;
        QTest::newRow("the answer is kept for the launch")
            << "" << "https://m.example/ https://other.example/" << "https://m.example/ https://m.example/ https://m.example/"
            << 1;
        QTest::newRow("no registry named: asked again") << "" << "- undefined https://m.example/"
                                                         << "- - https://m.example/ https://m.example/" << 3;
        QTest::newRow("put off, then asked") << "" << "busy https://m.example/" << "busy https://m.example/" << 2;
    }
    void registry()
    {
        QFETCH(QString, configured);
        QFETCH(QString, answers);
        QFETCH(QString, results);
        auto queue = std::make_shared<QStringList>(answers.split(u' '));
        auto asked = std::make_shared<int>(0);
        RegistryLocator locator([configured] { return configured; },
                                [queue, asked]() -> QCoro::Task<std::optional<QString>> {
                                    ++*asked;
                                    const QString answer = queue->isEmpty() ? QStringLiteral("-") : queue->takeFirst();
                                    if (answer == u"busy")
                                        return failing<std::optional<QString>>(RegistryLookupDeferred("busy"));
                                    return value(answer == u"-" ? std::nullopt : std::optional(answer + u'\n'));
                                });
        QStringList yielded;
        for (qsizetype call = 0; call < results.split(u' ').size(); ++call) {
            try {
                const QString registry = await(locator.registry());
                yielded << (registry.isEmpty() ? QStringLiteral("-") : registry);
            } catch (const RegistryLookupDeferred &) {
                yielded << QStringLiteral("busy");
            }
        }
        QCOMPARE(yielded.join(u' '), results);
        QTEST(*asked, "asked");
    }
};

QTEST_GUILESS_MAIN(RegistryLocatorTests)
#include "RegistryLocatorTests.moc"
