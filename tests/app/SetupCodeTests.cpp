#include "app/AppModel.h"
#include "support/ModelFixture.h"

#include <QTest>

class SetupCodeTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatsInput_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("shown");
        QTest::newRow("typing") << "qvs2abcd" << "QVS2-ABCD";
        QTest::newRow("drops O after keeping 15") << "QVS2-ABCD-EFGH-JKMO" << "QVS2-ABCD-EFGH-JKM";
        QTest::newRow("at most 16") << "QVS2ABCDEFGHJKMNPQRS" << "QVS2-ABCD-EFGH-JKMN";
        QTest::newRow("spaces and punctuation") << " qvs2 abcd-efgh, jkmn!" << "QVS2-ABCD-EFGH-JKMN";
        QTest::newRow("I is kept, L O U dropped") << "qvi1lou" << "QVI1";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("only junk") << "----   ###" << "";
        QTest::newRow("emoji, a letter with a mark dropped whole") << QString::fromUtf8("q\xF0\x9F\x98\x80v\xCC\x81s2") << "QS2";
        QTest::newRow("control characters") << QString::fromUtf8("q\x01v\x7fs\n2\tA") << "QVS2-A";
    }
    void formatsInput()
    {
        QFETCH(QString, input);
        QFETCH(QString, shown);
        QCOMPARE(formattedQuorvantisSetupCodeInput(input), shown);
    }

    void formatsHugeInputQuickly()
    {
        const QString huge(1 << 20, QChar(u'\u00e9'));
        QCOMPARE(formattedQuorvantisSetupCodeInput(huge + QStringLiteral("qvs2")), QStringLiteral("QVS2"));
    }

    void canonicalForm_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("canonical"); // empty: invalid
        QTest::newRow("mixed spacing") << "qvs2 abcd-efgh  jkmn" << "QVS2-ABCD-EFGH-JKMN";
        QTest::newRow("line breaks") << "QVS2\nABCD\r\nEFGH JKMN" << "QVS2-ABCD-EFGH-JKMN";
        QTest::newRow("O is not a digit") << "QVS2-ABCD-EFGH-JKMO" << "";
        QTest::newRow("I after prefix") << "QVS2-ABCD-EFGH-JKMI" << "";
        QTest::newRow("invite prefix") << "QVI1-ABCD-EFGH-JKMN" << "QVI1-ABCD-EFGH-JKMN";
        QTest::newRow("unknown prefix") << "QVI2-ABCD-EFGH-JKMN" << "";
        QTest::newRow("15 characters") << "QVS2-ABCD-EFGH-JKM" << "";
        QTest::newRow("17 characters") << "QVS2-ABCD-EFGH-JKMNP" << "";
        QTest::newRow("punctuation is not removed") << "QVS2.ABCD.EFGH.JKMN" << "";
    }
    void canonicalForm()
    {
        QFETCH(QString, input);
        QFETCH(QString, canonical);
        QCOMPARE(canonicalQuorvantisSetupCode(input).value_or(QString()), canonical);
    }

    void validationMessages_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("enroll");
        QTest::addColumn<QString>("codeMessage");
        QTest::addColumn<QString>("nameMessage");
        const QString format = QStringLiteral("请输入 QVS2 或 QVI1 格式的安装码。");
        const QString nameRule = QStringLiteral("名称需为 6-64 位小写字母、数字或连字符。");
        QTest::newRow("empty field") << "" << "" << false << "" << "";
        QTest::newRow("only Q") << "Q" << "" << false << format << "";
        QTest::newRow("QVS2 needs no name") << "QVS2-ABCD-EFGH-JKMN" << "" << false << "" << "";
        QTest::newRow("QVI1 needs a name") << "QVI1-ABCD-EFGH-JKMN" << "" << false << "" << nameRule;
        QTest::newRow("QVI1 with name") << "QVI1-ABCD-EFGH-JKMN" << "abc-de" << false << "" << "";
        QTest::newRow("five characters") << "QVI1-ABCD-EFGH-JKMN" << "abcde" << false << "" << nameRule;
        QTest::newRow("65 characters") << "QVI1-ABCD-EFGH-JKMN" << QString(65, u'a') << false << "" << nameRule;
        QTest::newRow("64 characters") << "QVI1-ABCD-EFGH-JKMN" << QString(64, u'a') << false << "" << "";
        QTest::newRow("leading hyphen") << "" << "-abcdef" << true << "" << nameRule;
        QTest::newRow("trailing hyphen") << "" << "abcdef-" << true << "" << nameRule;
        QTest::newRow("underscore") << "" << "abc_def" << true << "" << nameRule;
        QTest::newRow("trimmed and lower-cased") << "" << "  MyAgent1 \n" << true << "" << "";
        QTest::newRow("non-latin letters") << "" << QStringLiteral("代理人代理人") << true << "" << nameRule;
    }
    void validationMessages()
    {
        QFETCH(QString, code);
        QFETCH(QString, name);
        QFETCH(bool, enroll);
        QFETCH(QString, codeMessage);
        QFETCH(QString, nameMessage);
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.setupCode = code;
        model.setupAgentName = name;
        model.setupEntryMode = enroll ? AppModel::SetupEntryMode::enroll : AppModel::SetupEntryMode::paste;
        QCOMPARE(model.setupCodeValidationMessage().value_or(QString()), codeMessage);
        QCOMPARE(model.setupAgentNameValidationMessage().value_or(QString()), nameMessage);
    }

    void submissionRules_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("enroll");
        QTest::addColumn<bool>("haveKey");
        QTest::addColumn<bool>("canSubmit");
        QTest::addColumn<bool>("canRequestEnrollment");
        QTest::newRow("valid QVS2") << "qvs2 abcd efgh jkmn" << "" << false << false << true << false;
        QTest::newRow("QVI1 without name") << "QVI1-ABCD-EFGH-JKMN" << "" << false << true << false << true;
        QTest::newRow("QVI1 with name") << "QVI1-ABCD-EFGH-JKMN" << "agent-one" << false << true << true << true;
        QTest::newRow("invalid code") << "QVS2-ABCD" << "" << false << true << false << true;
        QTest::newRow("enrol without key") << "" << "agent-one" << true << false << false << false;
        QTest::newRow("enrol with key") << "" << "agent-one" << true << true << true << false;
        QTest::newRow("enrol with bad name") << "" << "ab" << true << true << false << false;
    }
    void submissionRules()
    {
        QFETCH(QString, code);
        QFETCH(QString, name);
        QFETCH(bool, enroll);
        QFETCH(bool, haveKey);
        QFETCH(bool, canSubmit);
        QFETCH(bool, canRequestEnrollment);
        ModelFixture fixture;
        fixture.writeProfileFile(QStringLiteral("mac-app-install-stage"), "setup\n");
        int keyReads = 0;
        fixture.effects.enrollmentKeyProvider = [haveKey, &keyReads]() -> std::optional<QString> {
            ++keyReads;
            return haveKey ? std::optional<QString>(QStringLiteral("k")) : std::nullopt;
        };
        AppModel &model = fixture.make();
        model.setupCode = code;
        model.setupAgentName = name;
        model.setupEntryMode = enroll ? AppModel::SetupEntryMode::enroll : AppModel::SetupEntryMode::paste;
        QCOMPARE(model.canSubmitSetup(), canSubmit);
        QCOMPARE(model.canRequestEnrollmentSetup(), canRequestEnrollment);
        QCOMPARE(model.canUseInstallCodeSetup(), enroll);

        // The key is asked for on every read, never cached.
        const int before = keyReads;
        model.canRequestEnrollmentSetup();
        model.canRequestEnrollmentSetup();
        if (!enroll)
            QCOMPARE(keyReads, before + 2);

        model.isSubmittingSetup = true;
        QVERIFY(!model.canSubmitSetup());
        QVERIFY(!model.canRequestEnrollmentSetup());
        QVERIFY(!model.canUseInstallCodeSetup());
    }

    void submissionNeedsSetupStage()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make(); // fresh profile: the runtime stage
        model.setupCode = QStringLiteral("QVS2-ABCD-EFGH-JKMN");
        QVERIFY(!model.canSubmitSetup());
    }

    void fieldSetterFormats()
    {
        ModelFixture fixture;
        AppModel &model = fixture.make();
        model.setSetupCodeInput(QStringLiteral("qvs2abcdefghjkmnpq"));
        QCOMPARE(model.setupCode(), QStringLiteral("QVS2-ABCD-EFGH-JKMN"));
        QCOMPARE(model.normalizedSetupCode(), QStringLiteral("QVS2-ABCD-EFGH-JKMN"));
        model.setupCode = QStringLiteral("  qvs2-ab ");
        QCOMPARE(model.normalizedSetupCode(), QStringLiteral("QVS2-AB"));
    }
};

QTEST_GUILESS_MAIN(SetupCodeTests)
#include "SetupCodeTests.moc"
