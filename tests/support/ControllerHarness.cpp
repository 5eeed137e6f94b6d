#include "support/ControllerHarness.h"

#include <sys/stat.h>

QString progressLetters(const QList<SetupProgressItem> &items)
{
    QString letters;
    for (const auto &item : items)
        letters += QStringLiteral("prcf").at(int(item.state));
    return letters;
}

QString describe(const InstallJourney &j)
{
    static const char *const overallNames[] = {"notInstalled", "starting", "waitingSetup", "online", "error"};
    const auto stage = j.installStage();
    QStringList fields{stage ? rawValue(*stage) : "-", progressLetters(j.setupProgress()),
                       overallNames[int(j.overallState())]};
    const std::pair<bool, const char *> flags[] = {{j.pendingSetupResume(), "resume"},
                                                   {j.installationValidated(), "validated"},
                                                   {j.onboardingCompleted(), "onboarded"},
                                                   {j.configurationReady(), "configured"}};
    for (const auto &[set, name] : flags) {
        if (set)
            fields << QString::fromLatin1(name);
    }
    return fields.join(u' ');
}

int posixMode(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QString runs(const QStringList &items)
{
    QStringList out;
    for (qsizetype i = 0; i < items.size();) {
        qsizetype times = 1;
        while (i + times < items.size() && items[i + times] == items[i])
            ++times;
        out << items[i] + (times > 1 ? QStringLiteral("*%1").arg(times) : QString());
        i += times;
    }
    return out.join(u' ');
}

ControllerHarness::ControllerHarness()
{
    m_attention = std::make_unique<Attention>(Publication{}, [this] { return time.now(); });
    m_operations = std::make_unique<AgentOperations>(Publication{}, [this] { return time.now(); });
    launchAt(std::nullopt);
}

InstallJourney &ControllerHarness::launchAt(std::optional<InstallStage> stage, bool configured)
{
    QFile::remove(profileFile(QStringLiteral("mac-app-install-stage")));
    if (stage)
        writeProfileFile(QStringLiteral("mac-app-install-stage"), rawValue(*stage).toUtf8() + '\n');
    if (configured)
        writeProfileFile(QStringLiteral("config.json"), "{}\n");
    m_journey = std::make_unique<InstallJourney>(profileDirectory(), Publication{}, *m_attention);
    m_journey->restoreAtLaunch();
    return *m_journey;
}

ModelContext ControllerHarness::baseContext()
{
    return ModelContext{
        .profileDirectory = profileDirectory(),
        .publication = {},
        .sleeper = [this](std::chrono::milliseconds duration) { return time.sleep(duration); },
        .clock = [this] { return time.now(); },
        .journey = m_journey.get(),
        .attention = m_attention.get(),
        .operations = m_operations.get(),
        .daemon = m_daemon.get(),
        .fail =
            [this](const Failure::Report &report) {
                failures.append(report);
                m_journey->setOverallState(OverallState::error);
                m_attention->showError(DisplayError::from(report.code, report.message));
                m_journey->markRunningPhasesFailed();
            },
    };
}

ModelContext ControllerHarness::context()
{
    if (!m_daemon)
        m_daemon = std::make_unique<AgentDaemon>(baseContext(), daemonEffects);
    return baseContext();
}

QString ControllerHarness::failureReports() const
{
    QStringList reports;
    for (const auto &report : failures)
        reports << report.code + (report.message ? QStringLiteral(": ") + *report.message : QString());
    return reports.isEmpty() ? QStringLiteral("-") : reports.join(u'|');
}
