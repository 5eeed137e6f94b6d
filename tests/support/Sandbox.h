#pragma once

// The simulated agent environment of the end-to-end and fault tests (sim/), and the application
// launched on it with its default wiring.

#include "app/AppModel.h"
#include "support/ScriptFiles.h"
#include "support/ModelAccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace QuorvantisTest {

// A fresh sandbox home with the simulator's services on loopback (sim/launch --services-only: fast,
// privacy panes and web links only recorded), the bundle that points the application at them, and
// this process's environment switched to the one the launcher gives the application (for good: each
// test function runs in a process of its own). stop() (and the destructor) stops the services and the agent.
class Sandbox
{
public:
    // `stampTool` stamps the sandbox's bundle, so that enrolment is available.
    explicit Sandbox(const QString &stampTool);
    ~Sandbox() { stop(); }
    void stop();

    // Empty once the sandbox runs; else what went wrong.
    QString launchError() const { return m_launchError; }
    QString home() const { return m_home; }
    QString bundle() const { return m_bundle; }
    QString profileFile(const QString &name) const { return m_home + "/.quorvantis/profiles/default/" + name; }
    // sim/simctl on this sandbox (grant, fail, set, authorize, click-binding, ...); false when it failed.
    bool simctl(const QStringList &arguments) const;
    // The simulator's state (agents, authorizations, failures, settings).
    const QJsonObject state() const
    {
        return QJsonDocument::fromJson(readFile(m_home + "/.sandbox/state.json")).object();
    }
    // Where a value turns up: the logs under the home, the record of how each stand-in was started
    // (arguments and environment), and the arguments and environment of each process in the home.
    QStringList whereFound(const QString &value) const;
    // The processes running in this home (their environment names it).
    QStringList processes() const { return whereFound(m_home).filter(QStringLiteral("/proc/")); }
    // The tails of the install log and of the services' log, for failure messages.
    QString diagnostics() const;

    // A kill at any moment leaves each marker of the profile absent or whole (one of the values it
    // may hold) and private, and no temporary file of an atomic write behind.
    QStringList markerFaults() const;
    // Where the secrets of a whole installation turn up: logs, the argument lists and environments
    // of every child and of the application's runner, the application's own files and its
    // diagnostics archive (when given); directories others may write.
    // The agent's files, the keychain entry and the application's link file keep them by design.
    QStringList secretFaults(const QStringList &setupCodes, const QString &archive,
                             const QStringList &runnerEnvironment) const;

private:
    QTemporaryDir m_root;
    QString m_home = m_root.filePath(QStringLiteral("home"));
    QString m_bundle;
    QString m_launchError;
    bool m_started = true; // whatever the launcher got running before a failure is stopped with the sandbox
};

// Does at each stage what the user does, until the agent is online: confirms each permission (the
// sandbox has them granted), submits the setup `code` (none: enrols with a workspace), asks for a
// binding link and has the owner press the page's button. 0: online, 2: an error was shown, 3: stuck.
QCoro::Task<int> installUntilOnline(AppModel *model, QString code);

// The application's model as a launch makes it (default wiring, this process's environment, the
// real timer), relaunched at will.
class Application
{
public:
    ~Application() { quit(true); }
    // Quits the model before, if any, and launches a new one that resumes where it left off.
    AppModel &relaunch();
    // A real quit ends the child with the application; here the run still going finishes first,
    // so that two runs never overlap, and requests under way get the event-loop turns they end in.
    // `lastOne` also waits until every sleeping loop of the quit models has seen its model gone.
    void quit(bool lastOne = false);

private:
    std::unique_ptr<AppModel> m_model;
    std::shared_ptr<int> m_pendingSleeps = std::make_shared<int>(0);
};

} // namespace QuorvantisTest
