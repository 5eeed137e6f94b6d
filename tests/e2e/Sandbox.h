#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

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
    Sandbox();
    ~Sandbox() { stop(); }

    bool start(QString *error);
    void stop();

    QString home() const { return m_home; }
    QString bundle() const { return m_bundle; }
    QString profileFile(const QString &name) const { return m_home + QStringLiteral("/.quorvantis/profiles/default/") + name; }
    QString readText(const QString &path) const;

    // The simulator's control interface: the status of the answer; GET "state" is its "state" object.
    int control(const QString &operation, const QJsonObject &body = {});
    QJsonObject state();
    bool grant(const QString &permission, bool granted = true);
    bool setting(const QString &key, const QJsonValue &value);
    // The configured agent of that name as the onboarding service sees it.
    QJsonObject agent(const QString &name) { return state().value(u"agents").toObject().value(name).toObject(); }
    // What the binding page's button does: starts a binding attempt with the link's token.
    int pressBindButton(const QUrl &link);

    // URLs handed to the sandbox's URL handler by "application" or "agent" (empty: both).
    QStringList openedURLs(const QString &openedBy = {}) const;
    // Every place a value turns up: the logs under the home, the recorded argument lists and
    // environments of every stand-in start, and those of the processes running now in this home.
    QStringList whereFound(const QString &value) const;
    // "pid arguments" of every other process running with this home.
    QStringList runningProcesses() const;
    // The tail of the install log and of the services' log, for failure messages.
    QString diagnostics() const;

private:
    QTemporaryDir m_root;
    QString m_home;
    QString m_bundle;
    QUrl m_controlURL;
    QByteArray m_controlToken;
    bool m_started = false;
    QHash<QByteArray, std::optional<QByteArray>> m_savedEnvironment;
};
