// The setup-code and agent-name rules, and what the setup form allows with them.
#include "setup/SetupCode.h"
#include "setup/SetupController.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"
#include "support/Test.h"

class SetupCodeTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What the field shows as the user types, and the code that stands for (empty: none).
    void setupCodes_data()
    {
        QuorvantisTest::columns<QString, QString, QString>({"input", "shown", "canonical"});
        QTest::newRow("spaces, line breaks and hyphens") << "qvs2 abcd-efgh \r\n jkmn" << "QVS2-ABCD-EFGH-JKMN"
                                                         << "QVS2-ABCD-EFGH-JKMN";
        QTest::newRow("other punctuation") << " qvs2 abcd-efgh, jkmn!" << "QVS2-ABCD-EFGH-JKMN" << "";
        QTest::newRow("unknown prefix") << "QVI2-ABCD-EFGH-JKMN" << "QVI2-ABCD-EFGH-JKMN" << "";
        QTest::newRow("O dropped after keeping 15") << "QVS2-ABCD-EFGH-JKMO" << "QVS2-ABCD-EFGH-JKM" << "";
        QTest::newRow("I kept, but no digit") << "QVS2-ABCD-EFGH-JKMI" << "QVS2-ABCD-EFGH-JKMI" << "";
        QTest::newRow("15 characters") << "QVS2-ABCD-EFGH-JKM" << "QVS2-ABCD-EFGH-JKM" << "";
        QTest::newRow("17 characters") << "QVS2ABCDEFGHJKMNP" << "QVS2-ABCD-EFGH-JKMN" << "";
        QTest::newRow("emoji, a letter with a mark dropped whole")
            << QString::fromUtf8("q\xF0\x9F\x98\x80v\xCC\x81s2") << "QS2" << "";
    }
    void setupCodes()
    {
        QFETCH(QString, input);
        QFETCH(QString, shown);
        QFETCH(QString, canonical);
        QCOMPARE(formattedQuorvantisSetupCodeInput(input), shown);
        QCOMPARE(canonicalQuorvantisSetupCode(input).value_or(QString()), canonical);
    }

    void agentNames_data()
    {
        QuorvantisTest::columns<QString, bool>({"name", "valid"});
        QTest::newRow("six characters") << "abc-de" << true;
        QTest::newRow("five characters") << "abcde" << false;
        QTest::newRow("64 characters") << QString(64, u'a') << true;
        QTest::newRow("65 characters") << QString(65, u'a') << false;
        QTest::newRow("leading hyphen") << "-abcdef" << false;
        QTest::newRow("trailing hyphen") << "abcdef-" << false;
    }
    void agentNames()
    {
        QFETCH(QString, name);
        QTEST(isValidAgentName(name), "valid");
    }

    // The field, the form's messages and what it allows, at the setup stage of a fresh machine.
    void formRules_data()
    {
        // mode — paste or enroll
        // rules — field, code message, name message, can submit, can ask for an enrolment, can go back to a code
        QuorvantisTest::columns<QString, QString, QString, QString>({"code", "name", "mode", "rules"});
        QTest::newRow("empty field") << "" << "" << "paste" << " - - no yes no";
        QTest::newRow("invalid code") << "QVS2-ABCD" << "" << "paste" << "QVS2-ABCD format - no yes no";
        QTest::newRow("valid QVS2 needs no name") << "qvs2 abcd efgh jkmn" << "" << "paste"
                                                  << "QVS2-ABCD-EFGH-JKMN - - yes yes no";
        QTest::newRow("QVI1 needs a name") << "QVI1-ABCD-EFGH-JKMN" << "" << "paste"
                                           << "QVI1-ABCD-EFGH-JKMN - name no yes no";
        QTest::newRow("enrolment, name trimmed and lower-cased") << "" << "  Agent-One \n" << "enroll"
                                                                 << " - - yes no yes";
    }
    void formRules()
    {
        QFETCH(QString, code);
        QFETCH(QString, name);
        QFETCH(QString, mode);
        ControllerHarness h;
        h.launchAt(InstallStage::setup);
        SetupController::Effects effects;
        effects.enrollmentKeyProvider = [] { return std::optional(QuorvantisTest::validEnrollmentKey()); };
        const SetupController::Links links{.enterChannelStage = {}, .resetPermissionVerification = {},
                                           .beginAuthorizationRun = [] {}, .clearAuthorization = [] {},
                                           .authorizationHandler = {}};
        SetupController c(h.context(), effects, links, {});
        if (mode == u"enroll")
            c.beginEnrollmentSetup();
        c.setSetupCodeInput(code);
        c.setSetupAgentName(name);
        const auto yes = [](bool on) { return on ? QStringLiteral("yes") : QStringLiteral("no"); };
        const QStringList rules{c.setupCode(),
                                c.setupCodeValidationMessage() ? "format" : "-",
                                c.setupAgentNameValidationMessage() ? "name" : "-",
                                yes(c.canSubmitSetup()),
                                yes(c.canRequestEnrollmentSetup()),
                                yes(c.canUseInstallCodeSetup())};
        QTEST(rules.join(u' '), "rules");
    }
};

QTEST_GUILESS_MAIN(SetupCodeTests)
#include "SetupCodeTests.moc"
