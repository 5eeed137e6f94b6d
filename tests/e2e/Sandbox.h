#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// The desktop's URL opener. The headless platform plugin of the tests cannot open URLs, so this
// handler, registered with QDesktopServices for the schemes the application opens, does what the
// desktop platform does on Linux: it hands the URL to the first xdg-open on PATH, which in the
// sandbox's environment is the sandbox's own.
class DesktopOpener : public QObject
{
    Q_OBJECT

public:
    DesktopOpener();
    ~DesktopOpener() override;

public Q_SLOTS:
    void open(const QUrl &url);
};

// One simulated agent environment for an end-to-end test: a fresh sandbox home with the
// simulator's services on loopback (sim/launch --services-only: fast, privacy panes and web
// links only recorded, nothing completing by itself), the bundle that points the application at
// them, and this process's environment switched to the one the launcher gives the application.
// stop() (and the destructor) stops the services and the agent and restores the environment.
class Sandbox
{
public:
    Sandbox() { m_root.setAutoRemove(qEnvironmentVariableIsEmpty("QUORVANTIS_E2E_KEEP")); }
    ~Sandbox() { stop(); }

    bool start(QString *error);
    void stop();

    QString home() const { return m_home; }
    QString bundle() const { return m_bundle; }
    QString profileFile(const QString &name) const { return m_home + QStringLiteral("/.quorvantis/profiles/default/") + name; }
    QString readText(const QString &path) const;

    // sim/simctl on this sandbox (grant, fail, set, authorize, click-binding, ...); false when it failed.
    bool simctl(const QStringList &arguments) const;
    // The simulator's state (agents, authorizations, failures, settings).
    const QJsonObject state() const;
    // URLs handed to the sandbox's URL handler by "application" or "agent" (empty: both).
    QStringList openedURLs(const QString &openedBy = {}) const;
    // Where a value turns up: the logs under the home, how each stand-in was started (arguments
    // and environment), and the arguments and environment of every other process running now in
    // this home. With no value: those processes.
    QStringList whereFound(const QString &value) const;
    // The tail of the install log and of the services' log, for failure messages.
    QString diagnostics() const;

private:
    QTemporaryDir m_root;
    QString m_home = m_root.filePath(QStringLiteral("home"));
    QString m_bundle;
    bool m_started = false;
    QHash<QByteArray, std::optional<QByteArray>> m_savedEnvironment;
};
