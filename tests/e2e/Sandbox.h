#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
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
// simulator's services running on loopback (sim/launch --services-only), the bundle that points
// the application at them, and this process's environment switched to the one the launcher gives
// the application. The destructor stops the services and the simulated agent and restores the
// environment.
class Sandbox
{
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // Starts the services (fast, no demo, privacy panes and web links only recorded, nothing
    // completing by itself; the agent opens a binding page of its own at its first start unless the
    // setting "agentOpensBinding" is false) and applies the application's environment. False with
    // a reason on failure.
    bool start(QString *error);
    void stop();

    QString home() const { return m_home; }
    QString bundle() const { return m_bundle; }
    QString profileDirectory() const;
    QString profileFile(const QString &name) const;
    QUrl onboardingURL() const { return m_onboardingURL; }

    // ---- the simulator's control interface (errors fail loudly through `lastControlError`) ----
    struct Reply
    {
        int status = 0;
        QByteArray body;
        QJsonObject json() const;
    };
    Reply control(const QString &operation, const QJsonObject &body = {});
    QJsonObject state();
    bool setPermission(const QString &name, bool granted);
    bool setSetting(const QString &key, const QJsonValue &value);
    bool scriptFailure(const QString &kind, int count);
    // The configured agent of that name as the onboarding service sees it.
    QJsonObject agent(const QString &name);

    // What the binding page's button does: starts a binding attempt with the link's token.
    Reply pressBindButton(const QUrl &link);

    // Plain HTTP on loopback, bounded by a deadline; the event loop runs meanwhile.
    static Reply request(const QByteArray &method, const QUrl &url, const QHash<QByteArray, QByteArray> &headers = {},
                         const QByteArray &body = {}, int timeoutMs = 15000);

    // ---- what the stand-ins recorded ----
    QList<QJsonObject> records() const;
    // URLs handed to the sandbox's URL handler; `openedBy` "application" or "agent" (the agent
    // opens its own binding page at its first start) keeps those of one opener, empty keeps all.
    QStringList openedURLs(const QString &openedBy = {}) const;

    // ---- secrets ----
    // Every place a value turns up: the logs under the home, the recorded argument lists and
    // environments of every stand-in start, and the argument lists and environments of the
    // processes running now with this home.
    QStringList whereFound(const QString &value) const;
    QString readText(const QString &path) const;
    // "pid program" of every process other than this one that runs with this home.
    QStringList runningProcesses() const;
    // The tail of the install log and the services' log, for failure messages.
    QString diagnostics() const;

private:
    QTemporaryDir m_root;
    QString m_home;
    QString m_bundle;
    QUrl m_onboardingURL;
    QUrl m_controlURL;
    QByteArray m_controlToken;
    bool m_started = false;
    QHash<QByteArray, std::optional<QByteArray>> m_savedEnvironment;

    void setEnvironment(const QByteArray &name, const std::optional<QByteArray> &value);
    void restoreEnvironment();
};
