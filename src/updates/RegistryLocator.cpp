#include "updates/RegistryLocator.h"

#include "process/AgentScripts.h"
#include "process/CLIService.h"
#include "process/QuorvantisNativeError.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

Q_LOGGING_CATEGORY(lcRegistryLocator, "quorvantis.updates.registry", QtWarningMsg)

namespace {

// Far more than any registry address; a runaway answer is not read whole.
constexpr qint64 maxAnswerBytes = 64 * 1024;

} // namespace

RegistryLocator::RegistryLocator(std::function<QString()> configured, Ask ask)
    : m_configured(std::move(configured)), m_ask(std::move(ask))
{
}

QCoro::Task<QString> RegistryLocator::registry()
{
    const QString configured = m_configured ? m_configured().trimmed() : QString();
    if (!configured.isEmpty())
        co_return configured;
    if (m_answered) {
        // A copy: QCoro's co_return moves from what it is given, even a member.
        const QString kept = *m_answered;
        co_return kept;
    }
    std::optional<QString> printed;
    if (m_ask)
        printed = co_await m_ask();
    const std::optional<QString> answered = printed ? fromAnswer(*printed) : std::nullopt;
    if (!answered) {
        qCDebug(lcRegistryLocator) << "the runtime's package manager named no registry; no update is offered";
        co_return QString();
    }
    m_answered = answered;
    co_return *answered;
}

std::optional<QString> RegistryLocator::fromAnswer(const QString &printed)
{
    const QStringList lines = printed.split(QLatin1Char('\n'));
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString value = line->trimmed();
        if (value.isEmpty())
            continue;
        if (value == u"undefined" || value == u"null")
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

QCoro::Task<std::optional<QString>> RegistryLocator::askRuntimePackageManager(std::shared_ptr<CLIService> cli)
{
    if (cli->isRunning())
        throw RegistryLookupDeferred("the runner is busy");
    // The answer comes back through a private file: output lines reach the install log, and the
    // runner redacts addresses from them anyway.
    const QTemporaryDir directory;
    if (!directory.isValid())
        co_return std::nullopt;
    const QString answerFile = directory.filePath(QStringLiteral("registry"));
    CLIResult result;
    try {
        result = co_await cli->runScript(AgentScripts::registryQuery(answerFile), {});
    } catch (const QuorvantisNativeError &error) {
        if (error.code == u"OPERATION_ALREADY_RUNNING")
            throw RegistryLookupDeferred("the runner is busy");
        qCDebug(lcRegistryLocator) << "the registry question did not run:" << error.code;
        co_return std::nullopt;
    }
    if (result.status != 0) {
        qCDebug(lcRegistryLocator) << "the registry question ended with status" << result.status;
        co_return std::nullopt;
    }
    QFile answer(answerFile);
    if (!answer.open(QIODevice::ReadOnly))
        co_return std::nullopt;
    co_return QString::fromUtf8(answer.read(maxAnswerBytes));
}
