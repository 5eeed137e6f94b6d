// Which language the interface speaks: the user's choice in the profile over the system's
// preferred languages, the first of those it has texts for.
#include "app/InterfaceLanguage.h"
#include "support/Test.h"

class InterfaceLanguageTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void choose_data()
    {
        // chosen — empty: no choice kept
        QuorvantisTest::columns<QString, QStringList, QString>({"chosen", "system", "language"});
        QTest::newRow("Chinese system") << "" << QStringList{"zh-CN", "en-US"} << "zh_CN";
        QTest::newRow("any Chinese") << "" << QStringList{"zh-Hant-TW"} << "zh_CN";
        QTest::newRow("English system") << "" << QStringList{"en-GB", "zh-CN"} << "en";
        QTest::newRow("French, then Chinese") << "" << QStringList{"fr-FR", "zh-CN"} << "zh_CN";
        QTest::newRow("nothing it speaks") << "" << QStringList{"de-DE", "C"} << "en";
        QTest::newRow("no system language") << "" << QStringList{} << "en";
        QTest::newRow("English chosen") << "en" << QStringList{"zh-CN"} << "en";
        QTest::newRow("Chinese chosen") << "zh_CN" << QStringList{"en-US"} << "zh_CN";
        QTest::newRow("a choice it cannot speak") << "tlh" << QStringList{"zh-CN"} << "zh_CN";
    }
    void choose()
    {
        QFETCH(QString, chosen);
        QFETCH(QStringList, system);
        QTEST(InterfaceLanguage::choose(chosen.isEmpty() ? std::nullopt : std::optional(chosen), system), "language");
    }
};

QTEST_MAIN(InterfaceLanguageTests)
#include "InterfaceLanguageTests.moc"
