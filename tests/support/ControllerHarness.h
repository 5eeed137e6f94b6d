#pragma once

#include "model/AgentDaemon.h"
#include "model/AgentOperations.h"
#include "model/Attention.h"
#include "model/InstallJourney.h"
#include "model/ModelContext.h"
#include "support/ScriptFiles.h"
#include "support/VirtualTime.h"
// What every controller suite uses with the harness: scripted effects, steps, the shared test header.
#include "support/Scripted.h"
#include "support/Steps.h"
#include "support/Test.h"

#include <QTemporaryDir>

#include <stdexcept>

// One letter per phase: pending, running, complete, failed ("ccrppppppp").
QString progressLetters(const QList<SetupProgressItem> &items);
// The installation in one line: stage ("-": finished), progress letters, overall state, and those
// of resume, validated, onboarded and configured that hold ("channel cccccccrpp online validated
// configured").
QString describe(const InstallJourney &journey);
// The permission bits of a file (-1: no such file).
int posixMode(const QString &path);
// A list in one line, each run of equal items as <item>*<times> ("a b*3 c").
QString runs(const QStringList &items);
// The raw value of an optional, "-" for none.
template <typename T>
QString rawOr(const std::optional<T> &value)
{
    return value ? rawValue(*value) : QStringLiteral("-");
}

// The agent's profile directory in a temporary home, created empty.
class TemporaryProfile
{
public:
    TemporaryProfile() { QDir().mkpath(profileDirectory()); }
    QString profileDirectory() const { return m_home.filePath(QStringLiteral("profile")); }
    QString profileFile(const QString &name) const { return profileDirectory() + u'/' + name; }
    void writeProfileFile(const QString &name, const QByteArray &content) const
    {
        if (!QuorvantisTest::writeFile(profileFile(name), content))
            throw std::runtime_error("cannot write a profile file");
    }
    QByteArray readProfileFile(const QString &name) const { return QuorvantisTest::readFile(profileFile(name)); }
    bool hasProfileFile(const QString &name) const { return QFile::exists(profileFile(name)); }

private:
    QTemporaryDir m_home;
};

// What a controller needs from its model, for a test of the controller alone: a temporary
// profile directory, virtual time, the shared journey and attention, and a `fail` that records
// each report and shows it the way the model does (error state, error shown, running phases
// failed).
class ControllerHarness : public TemporaryProfile
{
public:
    ControllerHarness();

    // A journey as a launch finds it: `stage` persisted (none: no marker), and the agent's
    // config.json when `configured`. Replaces the journey (make controllers afterwards).
    InstallJourney &launchAt(std::optional<InstallStage> stage, bool configured = false);
    InstallJourney &journey() const { return *m_journey; }
    Attention &attention() const { return *m_attention; }
    AgentOperations &operations() const { return *m_operations; }

    // The daemon the controllers share is made with these effects at the first `context()`.
    AgentDaemon::Effects daemonEffects{};
    ModelContext context();
    // The reports `fail` took, "CODE: message" each, '|'-separated ("-": none).
    QString failureReports() const;

    VirtualTime time;
    QList<Failure::Report> failures;

private:
    ModelContext baseContext();

    std::unique_ptr<Attention> m_attention;
    std::unique_ptr<InstallJourney> m_journey;
    std::unique_ptr<AgentOperations> m_operations;
    std::unique_ptr<AgentDaemon> m_daemon;
};
