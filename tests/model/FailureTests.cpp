// The one failure mapper: exceptions to reports, reports to what the error panel shows, and
// which failures the setup run retries.
#include "model/Failure.h"
#include "support/Test.h"

#include <stdexcept>

namespace {

// A null text stands for "no message".
std::optional<QString> opt(const QString &text)
{
    return text.isNull() ? std::nullopt : std::optional(text);
}

} // namespace

Q_DECLARE_METATYPE(std::exception_ptr)

class FailureTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A code and a message (null: none), and what the error panel shows for them: the code, the
    // action offered, the tool's message kept ("own"), the code named in the system's own text
    // ("named"), the tool's line kept as detail beside it ("detail").
    void mapping_data()
    {
        QuorvantisTest::columns<QString, QString, QString>({"code", "message", "shown"});
        const auto row = [](const char *name, const char *code, const QString &message, const char *shown) {
            QTest::newRow(name) << QString(code) << message << QString(shown);
        };
        const QString none;
        // The setup service's refusals, the first that applies.
        row("no longer available", "SETUP_EXIT_1", "Code Is No Longer Available", "SETUP_CODE_UNAVAILABLE code");
        row("unavailable wins over all", "SETUP_AGENT_NAME_TAKEN", "code_unavailable; bootstrap_failed",
            "SETUP_CODE_UNAVAILABLE code");
        row("enrolment by code", "SETUP_ENROLLMENT_UNAVAILABLE", none, "SETUP_ENROLLMENT_UNAVAILABLE retry");
        row("enrolment by phrase", "SETUP_EXIT_1", "ENROLLMENT_UNAVAILABLE", "SETUP_ENROLLMENT_UNAVAILABLE retry");
        row("reserved by phrase", "X", "name is reserved for administrative use", "SETUP_AGENT_NAME_RESERVED retry");
        row("reserved wins over taken", "X", "agent_name_reserved: agent already exists",
            "SETUP_AGENT_NAME_RESERVED retry");
        row("too short by phrase", "X", "at least 6 characters, not counting hyphens",
            "SETUP_AGENT_NAME_TOO_SHORT retry");
        row("taken by pattern, any case", "SETUP_EXIT_1", "Error: AGENT \"a-b\" ALREADY EXISTS",
            "SETUP_AGENT_NAME_TAKEN retry");
        row("taken wins over bootstrap", "X", "agent already exists; bootstrap_failed", "SETUP_AGENT_NAME_TAKEN retry");
        row("bootstrap wins over a runtime code", "RUNTIME_PREPARE_EXIT_1", "bootstrap_failed",
            "SETUP_BOOTSTRAP_FAILED retry");
        // Other failures keep their code and message, with a text for none.
        row("runtime without message", "RUNTIME_PREPARE_FAILED", none, "RUNTIME_PREPARE_FAILED retry");
        row("daemon", "DAEMON_INSTALL_EXIT_3", none, "DAEMON_INSTALL_EXIT_3 retry");
        row("start timeout", "AGENT_START_TIMEOUT", "已超时", "AGENT_START_TIMEOUT retry own");
        row("exit status without message", "SETUP_EXIT_2", none, "SETUP_EXIT_2 logs named");
        row("runtime phrase only in message", "OTHER", "RUNTIME_ failure", "OTHER logs own");
        // A failure of the installed agent offers a restart and keeps the tool's line as detail.
        row("restart failed", "AGENT_RESTART_FAILED", "Error: Quorvantis is not online in PM2",
            "AGENT_RESTART_FAILED restart detail");
        row("update failed, no line", "AGENT_UPDATE_FAILED", none, "AGENT_UPDATE_FAILED restart");
    }
    void mapping()
    {
        QFETCH(QString, code);
        QFETCH(QString, message);
        const DisplayError shown = DisplayError::from(code, opt(message));
        static const QStringList actions{"settings", "none", "code", "retry", "restart", "logs", "updates", "recheck"};
        QStringList seen{shown.code, actions.at(int(shown.recovery.kind))};
        if (shown.message == message)
            seen << "own";
        if (shown.message.contains(code))
            seen << "named";
        if (shown.detail && shown.detail == opt(message))
            seen << "detail";
        QTEST(seen.join(u' '), "shown");
        QVERIFY(!shown.message.isEmpty() && !shown.impact.isEmpty());
        // The setup run retries exactly what the panel shows as the service's passing trouble.
        QCOMPARE(Failure::isTransient({code, opt(message)}), shown.code == u"SETUP_BOOTSTRAP_FAILED");
    }

    void fromException_data()
    {
        QuorvantisTest::columns<std::exception_ptr, QString, QString>({"error", "code", "message"});
        const QString code = QStringLiteral("INSTALL_LAUNCH_FAILED");
        const auto coded = [&code](const QString &message) {
            return std::make_exception_ptr(QuorvantisNativeError(code, message));
        };
        QTest::newRow("coded") << coded(QStringLiteral("无法启动")) << code << QStringLiteral("无法启动");
        QTest::newRow("coded, empty message") << coded(QString()) << code << QString();
        QTest::newRow("any other") << std::make_exception_ptr(std::runtime_error("closed")) << "FALLBACK" << QString();
    }
    void fromException()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, code);
        QFETCH(QString, message);
        QCOMPARE(Failure::from(error, QStringLiteral("FALLBACK")), (Failure::Report{code, opt(message)}));
    }

    void safeErrorMessage_data()
    {
        // output — null: absent
        QuorvantisTest::columns<QString, QString>({"input", "output"});
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        QTest::newRow("absent") << QString() << QString();
        QTest::newRow("spaces") << "   \n " << QString();
        QTest::newRow("redacted") << "token [REDACTED] refused" << QString();
        QTest::newRow("internal") << "  QVAPP_STATE ok" << QString();
        QTest::newRow("internal later is fine") << "see QVAPP_X" << "see QVAPP_X";
        QTest::newRow("trimmed") << "  failed  " << "failed";
        QTest::newRow("cut") << QString(300, u'x') << QString(240, u'x');
        QTest::newRow("no character split") << QString(239, u'x') + emoji + emoji << QString(239, u'x') + emoji;
    }
    void safeErrorMessage()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QCOMPARE(Failure::safeErrorMessage(opt(input)), opt(output));
    }
};

QTEST_GUILESS_MAIN(FailureTests)
#include "FailureTests.moc"
