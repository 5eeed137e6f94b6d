#include "process/CLIService.h"

#include "core/OnboardingServiceConfiguration.h"
#include "platform/Bundle.h"
#include "process/AgentContract.h"
#include "process/AgentScripts.h"
#include "process/InstallLog.h"
#include "process/OutputPipeline.h"
#include "process/OutputReader.h"

#include <QCoreApplication>
#include <QCoro/QCoroSignal>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

namespace {

const QString &shellPath()
{
    static const QString path = QStringLiteral("/bin/bash");
    return path;
}

bool isPackageManagerVariable(const QString &name)
{
    const QString upper = name.toUpper();
    return upper.startsWith(QLatin1String("NPM_CONFIG_")) || upper.startsWith(QLatin1String("PNPM_"));
}

// Gives the run back its idle state however it ends, unless a newer run already took the slot
// or the service is gone.
class RunSlot
{
public:
    RunSlot(CLIService *service, QProcess *&slot, QProcess *child) : m_service(service), m_slot(slot), m_child(child)
    {
        m_slot = child;
    }
    ~RunSlot()
    {
        if (m_service && m_slot == m_child) {
            m_slot = nullptr;
            Q_EMIT m_service->idle();
        }
    }
    RunSlot(const RunSlot &) = delete;
    RunSlot &operator=(const RunSlot &) = delete;

private:
    QPointer<CLIService> m_service;
    QProcess *&m_slot;
    QProcess *m_child;
};

} // namespace

CLIService::CLIService(QObject *parent) : CLIService(Options{}, parent) {}

CLIService::CLIService(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
    m_bashPath = m_options.bashPath.isEmpty() ? shellPath() : m_options.bashPath;
    m_homeDirectory = m_options.homeDirectory.isEmpty() ? QDir::homePath() : m_options.homeDirectory;
    // A home of its own brings its own log, so a service for another home never writes the user's.
    if (!m_options.installLogPath.isEmpty())
        m_installLogPath = m_options.installLogPath;
    else if (!m_options.homeDirectory.isEmpty())
        m_installLogPath = QDir(m_homeDirectory).filePath(AgentContract::logsDirectory() + QLatin1Char('/')
                                                          + AgentContract::installLogName());
    else
        m_installLogPath = InstallLog::installLog();
}

CLIService::~CLIService() = default;

QProcessEnvironment CLIService::environment() const
{
    QProcessEnvironment environment =
        m_options.baseEnvironment ? *m_options.baseEnvironment : QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys()) {
        if (isPackageManagerVariable(name))
            environment.remove(name);
    }
    const QString home = m_homeDirectory;
    const QString runtimeRoot = home + QLatin1Char('/') + AgentContract::runtimeRoot();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("PNPM_HOME"), runtimeRoot + QStringLiteral("/bin"));
    environment.insert(QStringLiteral("PM2_HOME"), runtimeRoot + QStringLiteral("/pm2"));
    environment.insert(QStringLiteral("NPM_CONFIG_USERCONFIG"), runtimeRoot + QStringLiteral("/pnpm-config/npmrc"));
    environment.insert(QStringLiteral("NPM_CONFIG_GLOBALCONFIG"), QStringLiteral("/dev/null"));
    environment.insert(QStringLiteral("LANG"), AgentScripts::utf8Locale());
    environment.insert(QStringLiteral("LC_CTYPE"), AgentScripts::utf8Locale());
    environment.remove(QStringLiteral("NVM_DIR"));
    environment.remove(QStringLiteral("NVM_BIN"));
    // The enrolment key travels on standard input only, whatever the application inherited.
    for (const QString &name : environment.keys()) {
        if (name.compare(AgentContract::enrollmentKeyVariable(), Qt::CaseInsensitive) == 0)
            environment.remove(name);
    }
    const QStringList path{runtimeRoot + QStringLiteral("/bin"),
                           QStringLiteral("/opt/homebrew/bin"),
                           QStringLiteral("/opt/homebrew/sbin"),
                           QStringLiteral("/usr/local/bin"),
                           QStringLiteral("/usr/local/sbin"),
                           QStringLiteral("/usr/bin"),
                           QStringLiteral("/bin"),
                           QStringLiteral("/usr/sbin"),
                           QStringLiteral("/sbin")};
    environment.insert(QStringLiteral("PATH"), path.join(QLatin1Char(':')));
    const std::optional<QUrl> onboarding =
        m_options.onboardingOverride ? m_options.onboardingOverride() : OnboardingServiceConfiguration::bundledOverride();
    if (onboarding)
        environment.insert(AgentContract::onboardingServiceVariable(), onboarding->toString(QUrl::FullyEncoded));
    return environment;
}

QString CLIService::blockTitle(const QStringList &arguments)
{
    // A script names itself on its first line ("# agent update"); the session script by its mode.
    if (arguments.size() >= 2 && arguments.first() == u"-c") {
        const QString first = arguments.at(1).section(u'\n', 0, 0);
        return first.startsWith(u"# ") ? first.mid(2).trimmed() : QStringLiteral("script");
    }
    QStringList title{arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName()};
    for (const QString &argument : arguments.mid(1)) {
        if (argument.startsWith(u"--"))
            title << argument;
    }
    return title.join(u' ');
}

std::optional<QString> CLIService::line(QByteArray &buffer)
{
    std::optional<QString> decoded = OutputPipeline::decode(buffer);
    buffer.resize(0);
    return decoded;
}

QCoro::Task<CLIResult> CLIService::execute(QStringList arguments, std::optional<QString> stdinText,
                                           OutputHandler onOutput, LineInterceptor intercept)
{
    // Checked and taken in one turn of the event loop: two callers can never both pass.
    if (m_process) {
        throw QuorvantisNativeError(QStringLiteral("OPERATION_ALREADY_RUNNING"),
                                    QCoreApplication::translate("CLIService", "Quorvantis 正在执行一项操作"));
    }

    std::unique_ptr<QFile> log = InstallLog::openLog(m_installLogPath);
    QStringList secrets;
    if (stdinText)
        secrets << *stdinText;
    OutputPipeline pipeline(log.get(), std::move(onOutput), std::move(intercept), secrets);
    OutputReader reader(pipeline);

    auto process = std::make_unique<QProcess>();
    QProcess *child = process.get();
    RunSlot slot(this, m_process, child);

    InstallLog::writeLog(QStringLiteral("\n--- %1 %2 ---").arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                                                              blockTitle(arguments)),
                         log.get());

    const auto launchFailed = [&] {
        InstallLog::writeLog(QStringLiteral("INSTALL_LAUNCH_FAILED"), log.get());
        log.reset();
        return QuorvantisNativeError(QStringLiteral("INSTALL_LAUNCH_FAILED"), QCoreApplication::translate("CLIService", "无法启动 Quorvantis 安装程序"));
    };
    if (!reader.isOpen())
        throw launchFailed();

    child->setProgram(m_bashPath);
    child->setArguments(arguments);
    child->setProcessEnvironment(environment());
    // Both streams go to the reader's pipe, in the order the child writes them.
    child->setProcessChannelMode(QProcess::ForwardedChannels);
    const int output = reader.writeEnd();
    child->setChildProcessModifier([output] {
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
    });
    child->start(QIODevice::ReadWrite);
    reader.releaseWriteEnd();
    if (stdinText)
        child->write(stdinText->toUtf8());
    // End of input right away; a child that never reads it still finishes normally.
    child->closeWriteChannel();

    ProcessStateRelay relay(child);
    while (child->state() != QProcess::NotRunning)
        co_await qCoro(&relay, &ProcessStateRelay::changed);

    if (child->error() == QProcess::FailedToStart) {
        QObject::disconnect(child, nullptr, nullptr, nullptr);
        throw launchFailed();
    }

    // The child has exited; what it or a background grandchild still writes is read until end
    // of output, or until the grace runs out while something keeps the pipe open.
    reader.finishWithin(m_options.outputGraceAfterExit);
    if (!reader.atEnd())
        co_await qCoro(&reader, &OutputReader::ended);
    QObject::disconnect(child, nullptr, nullptr, nullptr);
    pipeline.finish();

    // After a signal this is the signal number; the two cases are deliberately not told apart.
    const qint32 status = child->exitCode();
    InstallLog::writeLog(QStringLiteral("Process exited with status %1").arg(status), log.get());
    log.reset();
    co_return CLIResult{status, pipeline.lastErrorLine()};
}

std::optional<QString> CLIService::sessionScriptPath() const
{
    if (m_options.sessionScript)
        return m_options.sessionScript();
    return Bundle::resourcePath(AgentContract::sessionScriptName(), AgentContract::sessionScriptExtension());
}

QCoro::Task<CLIResult> CLIService::runSessionScript(QStringList options, std::optional<QString> stdinText,
                                                    OutputHandler onOutput, LineInterceptor intercept)
{
    const std::optional<QString> script = sessionScriptPath();
    if (!script || script->isEmpty()) {
        throw QuorvantisNativeError(QStringLiteral("INSTALL_COMPONENT_MISSING"),
                                    QCoreApplication::translate("CLIService", "安装组件不完整，请重新安装 Quorvantis"));
    }
    QStringList arguments{*script};
    arguments << options;
    co_return co_await execute(std::move(arguments), std::move(stdinText), std::move(onOutput), std::move(intercept));
}

QCoro::Task<CLIResult> CLIService::prepareEnvironment(OutputHandler onOutput)
{
    return runSessionScript(AgentContract::prepareArguments(), std::nullopt, std::move(onOutput), {});
}

QCoro::Task<CLIResult> CLIService::setup(QString code, std::optional<QString> agentName, OutputHandler onOutput,
                                         LineInterceptor intercept)
{
    return runSessionScript(AgentContract::setupArguments(agentName.value_or(QString())), code + QLatin1Char('\n'),
                            std::move(onOutput), std::move(intercept));
}

QCoro::Task<CLIResult> CLIService::resumeSetup(OutputHandler onOutput, LineInterceptor intercept)
{
    return runSessionScript(AgentContract::resumeArguments(), std::nullopt, std::move(onOutput), std::move(intercept));
}

QCoro::Task<CLIResult> CLIService::enroll(QString workspace, QString agentName, QString enrollmentKey,
                                          OutputHandler onOutput, LineInterceptor intercept)
{
    return runSessionScript(AgentContract::enrollArguments(workspace, agentName),
                            enrollmentKey + QLatin1Char('\n'), std::move(onOutput), std::move(intercept));
}

QCoro::Task<void> CLIService::waitUntilIdle()
{
    QPointer<CLIService> self(this);
    while (self && self->isRunning())
        co_await qCoro(self.data(), &CLIService::idle);
}

QCoro::Task<CLIResult> CLIService::runScript(QString script, OutputHandler onOutput)
{
    const QStringList arguments{QStringLiteral("-c"), script};
    co_return co_await execute(arguments, std::nullopt, std::move(onOutput), {});
}
