// The setup-code and agent-name rules, and what the setup form allows with them.
#include "setup/SetupCode.h"
#include "setup/SetupController.h"
#include "support/ControllerHarness.h"
#include "support/Scripted.h"

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

    void agentNames_data()
    {
        QTest::addColumn<QString>("name"); // as typed: the form trims and lower-cases it
        QTest::addColumn<bool>("valid");
        QTest::newRow("six characters") << "abc-de" << true;
        QTest::newRow("five characters") << "abcde" << false;
        QTest::newRow("64 characters") << QString(64, u'a') << true;
        QTest::newRow("65 characters") << QString(65, u'a') << false;
        QTest::newRow("leading hyphen") << "-abcdef" << false;
        QTest::newRow("trailing hyphen") << "abcdef-" << false;
        QTest::newRow("underscore") << "abc_def" << false;
        QTest::newRow("trimmed and lower-cased") << "  MyAgent1 \n" << true;
        QTest::newRow("non-latin letters") << QStringLiteral("代理人代理人") << false;
        QTest::newRow("a line feed inside") << "abcdef\nxyz" << false;
    }
    void agentNames()
    {
        QFETCH(QString, name);
        QTEST(isValidAgentName(name.trimmed().toLower()), "valid");
    }

    // The form's messages and what it allows, at the setup stage of a fresh machine.
    void formRules_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("mode"); // paste, enroll, or "enroll, key gone"
        // code message, name message, can submit, can ask for an enrolment, can go back to a code
        QTest::addColumn<QString>("rules");
        QTest::newRow("empty field") << "" << "" << "paste" << "- - no yes no";
        QTest::newRow("only Q") << "Q" << "" << "paste" << "format - no yes no";
        QTest::newRow("invalid code") << "QVS2-ABCD" << "" << "paste" << "format - no yes no";
        QTest::newRow("valid QVS2 needs no name") << "qvs2 abcd efgh jkmn" << "" << "paste" << "- - yes yes no";
        QTest::newRow("QVI1 needs a name") << "QVI1-ABCD-EFGH-JKMN" << "" << "paste" << "- name no yes no";
        QTest::newRow("QVI1 with a name") << "QVI1-ABCD-EFGH-JKMN" << "agent-one" << "paste" << "- - yes yes no";
        QTest::newRow("enrolment") << "" << "agent-one" << "enroll" << "- - yes no yes";
        QTest::newRow("enrolment, bad name") << "" << "ab" << "enroll" << "- name no no yes";
        QTest::newRow("enrolment, key gone") << "" << "agent-one" << "enroll, key gone" << "- - no no yes";
    }
    void formRules()
    {
        QFETCH(QString, code);
        QFETCH(QString, name);
        QFETCH(QString, mode);
        ControllerHarness h;
        h.launchAt(InstallStage::setup);
        bool haveKey = true; // read afresh on every question ("key gone" shows it is never kept)
        SetupController::Effects effects;
        effects.enrollmentKeyProvider = [&]() -> std::optional<QString> {
            return haveKey ? std::optional(QuorvantisTest::validEnrollmentKey()) : std::nullopt;
        };
        const SetupController::Links links{{}, {}, [] {}, [] {}, {}};
        SetupController c(h.context(), effects, links, {});
        if (mode.startsWith(u"enroll"))
            c.beginEnrollmentSetup();
        haveKey = !mode.contains(u"gone");
        c.setSetupCodeInput(code);
        c.setSetupAgentName(name);
        const auto yes = [](bool on) { return on ? QStringLiteral("yes") : QStringLiteral("no"); };
        const QString rules = QStringList{c.setupCodeValidationMessage() ? "format" : "-", c.setupAgentNameValidationMessage() ? "name" : "-",
                                          yes(c.canSubmitSetup()), yes(c.canRequestEnrollmentSetup()), yes(c.canUseInstallCodeSetup())}
                                  .join(u' ');
        QTEST(rules, "rules");
    }

    void fieldSetterFormats()
    {
        ControllerHarness h;
        SetupController c(h.context(), {}, {}, {});
        c.setSetupCodeInput(QStringLiteral("qvs2abcdefghjkmnpq"));
        QCOMPARE(c.setupCode(), QStringLiteral("QVS2-ABCD-EFGH-JKMN"));
        QCOMPARE(c.normalizedSetupCode(), QStringLiteral("QVS2-ABCD-EFGH-JKMN"));
        c.setSetupCodeInput(QStringLiteral("  qvs2-ab "));
        QCOMPARE(c.normalizedSetupCode(), QStringLiteral("QVS2-AB"));
    }
};

QTEST_GUILESS_MAIN(SetupCodeTests)
#include "SetupCodeTests.moc"
