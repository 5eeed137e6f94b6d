#include "Sandbox.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTimer>

namespace {

const QStringList openedSchemes{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("x-apple.systempreferences")};

// Runs sim/launch to its end; its standard output, or nothing when it failed.
std::optional<QByteArray> launch(const QStringList &arguments, QString *error)
{
    QProcess process;
    process.start(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/launch"), arguments);
    const bool finished = process.waitForFinished(120000);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput();
    if (error)
        *error = QStringLiteral("sim/launch failed: ") + process.errorString() + QString::fromUtf8(process.readAllStandardError());
    process.kill();
    process.waitForFinished(5000);
    return std::nullopt;
}

// NUL-separated /proc text as one string per entry.
QStringList procEntries(const QString &pid, const char *file)
{
    QFile proc(QStringLiteral("/proc/%1/%2").arg(pid, QLatin1String(file)));
    return proc.open(QIODevice::ReadOnly) ? QString::fromUtf8(proc.readAll()).split(QChar(0), Qt::SkipEmptyParts) : QStringList();
}

// Every other process running with this home: pid, arguments, environment.
struct Process
{
    QString pid;
    QStringList arguments;
    QStringList environment;
};

QList<Process> processesIn(const QString &home)
{
    QList<Process> found;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || !pid.front().isDigit())
            continue;
        Process process{pid, procEntries(pid, "cmdline"), procEntries(pid, "environ")};
        if (process.environment.contains(QStringLiteral("HOME=") + home) || process.arguments.join(u' ').contains(home))
            found << process;
    }
    return found;
}

// Plain HTTP on loopback, bounded by a deadline; the event loop runs meanwhile.
std::pair<int, QByteArray> request(const QByteArray &method, const QUrl &url, const QByteArray &authorization,
                                   const QByteArray &body = {})
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(url);
    request.setRawHeader(authorization.startsWith("Bearer") ? "Authorization" : "X-Sandbox-Token", authorization);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QBuffer payload;
    payload.setData(body);
    payload.open(QIODevice::ReadOnly);
    QNetworkReply *reply = network.sendCustomRequest(request, method, &payload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, reply, &QNetworkReply::abort);
    if (!reply->isFinished())
        loop.exec();
    reply->deleteLater();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

} // namespace

DesktopOpener::DesktopOpener()
{
    for (const QString &scheme : openedSchemes)
        QDesktopServices::setUrlHandler(scheme, this, "open");
}

DesktopOpener::~DesktopOpener()
{
    for (const QString &scheme : openedSchemes)
        QDesktopServices::unsetUrlHandler(scheme);
}

void DesktopOpener::open(const QUrl &url)
{
    QProcess opener;
    opener.setProgram(QStringLiteral("xdg-open"));
    opener.setArguments({url.toString(QUrl::FullyEncoded)});
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.startDetached();
}

Sandbox::Sandbox()
{
    m_root.setAutoRemove(qEnvironmentVariableIsEmpty("QUORVANTIS_E2E_KEEP"));
    m_home = QDir(m_root.path()).filePath(QStringLiteral("home"));
}

bool Sandbox::start(QString *error)
{
    // Whatever the launcher got running before a failure is stopped with the sandbox.
    m_started = true;
    const auto output = launch({"--home", m_home, "--fresh", "--services-only", "--fast", "--no-demo", "--settings-action", "record",
                                "--browser", "record", "--stamp", QStringLiteral(QUORVANTIS_STAMP_TOOL)},
                               error);
    if (!output)
        return false;
    const QJsonObject summary = QJsonDocument::fromJson(*output).object();
    m_home = summary["home"].toString();
    m_bundle = summary["bundle"].toString();
    m_controlURL = QUrl(summary["controlURL"].toString());
    m_controlToken = QJsonDocument::fromJson(readText(m_home + "/.sandbox/services.json").toUtf8())["controlToken"].toString().toUtf8();
    if (m_home.isEmpty() || m_bundle.isEmpty() || m_controlToken.isEmpty()) {
        *error = QStringLiteral("unexpected summary from sim/launch: ") + QString::fromUtf8(*output);
        return false;
    }
    // The environment the launcher starts the application with.
    const auto set = [this](const QString &name, const std::optional<QByteArray> &value) {
        const QByteArray key = name.toUtf8();
        if (!m_savedEnvironment.contains(key))
            m_savedEnvironment.insert(key, qEnvironmentVariableIsSet(key) ? std::optional(qgetenv(key)) : std::nullopt);
        value ? qputenv(key, *value) : qunsetenv(key);
    };
    const QJsonObject environment = summary["appEnvironment"].toObject();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        set(it.key(), it.value().toString().toUtf8());
    for (const QJsonValue &name : summary["appUnsetEnvironment"].toArray())
        set(name.toString(), std::nullopt);
    // Nothing completes behind the test's back: the test authorizes and binds itself.
    return setting(QStringLiteral("authorizeAfterMs"), QJsonValue::Null) && setting(QStringLiteral("bindingAutoCompleteMs"), QJsonValue::Null);
}

void Sandbox::stop()
{
    if (std::exchange(m_started, false))
        launch({QStringLiteral("--home"), m_home, QStringLiteral("--stop")}, nullptr);
    for (auto it = m_savedEnvironment.begin(); it != m_savedEnvironment.end(); ++it)
        it.value() ? qputenv(it.key(), *it.value()) : qunsetenv(it.key());
    m_savedEnvironment.clear();
}

QString Sandbox::readText(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int Sandbox::control(const QString &operation, const QJsonObject &body)
{
    const QUrl url = m_controlURL.resolved(QUrl(QStringLiteral("/control/") + operation));
    return request("POST", url, m_controlToken, QJsonDocument(body).toJson(QJsonDocument::Compact)).first;
}

QJsonObject Sandbox::state()
{
    return QJsonDocument::fromJson(request("GET", m_controlURL.resolved(QUrl(QStringLiteral("/control/state"))), m_controlToken).second)
        .object()["state"].toObject();
}

bool Sandbox::grant(const QString &permission, bool granted)
{
    return control(QStringLiteral("permission"), {{"name", permission}, {"granted", granted}}) == 200;
}

bool Sandbox::setting(const QString &key, const QJsonValue &value)
{
    return control(QStringLiteral("setting"), {{"key", key}, {"value", value}}) == 200;
}

int Sandbox::pressBindButton(const QUrl &link)
{
    // The page's script posts to the attempts resource of its own path, with the token of the
    // link's fragment as bearer.
    QString path = link.path();
    path.replace(QStringLiteral("/agents/"), QStringLiteral("/api/agents/"));
    return request("POST", link.resolved(QUrl(path + QStringLiteral("/attempts"))), "Bearer " + link.fragment().toUtf8(), "{}").first;
}

QStringList Sandbox::openedURLs(const QString &openedBy) const
{
    QStringList urls;
    for (const QString &line : readText(m_home + "/.sandbox/records.jsonl").split(u'\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line.toUtf8()).object();
        if (entry["tool"].toString() == u"url-handler" && (openedBy.isEmpty() || entry["openedBy"].toString() == openedBy))
            urls << entry["url"].toString();
    }
    return urls;
}

QStringList Sandbox::whereFound(const QString &value) const
{
    QStringList places;
    // Every log under the home: the install log and what the agent's daemon writes.
    for (const QString directory : {"/.quorvantis/logs", "/.quorvantis/profiles/default/logs"}) {
        QDirIterator it(m_home + directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (readText(path).contains(value))
                places << QStringLiteral("log ") + path;
        }
    }
    // How every stand-in was started, and the processes running now in this home.
    QList<Process> started;
    for (const QString &line : readText(m_home + "/.sandbox/records.jsonl").split(u'\n', Qt::SkipEmptyParts)) {
        const QJsonObject entry = QJsonDocument::fromJson(line.toUtf8()).object();
        Process process{entry["tool"].toString(), entry["argv"].toVariant().toStringList(), {}};
        const QJsonObject environment = entry["env"].toObject();
        for (auto it = environment.begin(); it != environment.end(); ++it)
            process.environment << it.key() + u'=' + it.value().toString();
        started << process;
    }
    for (const auto &[where, processes] : {std::pair(QStringLiteral("started"), started), std::pair(QStringLiteral("running"), processesIn(m_home))}) {
        for (const Process &process : processes) {
            if (!process.arguments.filter(value).isEmpty())
                places << QStringLiteral("arguments of %1 %2").arg(where, process.pid);
            for (const QString &variable : process.environment.filter(value))
                places << QStringLiteral("environment of %1 %2: %3").arg(where, process.pid, variable.section(u'=', 0, 0));
        }
    }
    return places;
}

QStringList Sandbox::runningProcesses() const
{
    QStringList found;
    for (const Process &process : processesIn(m_home))
        found << process.pid + u' ' + process.arguments.join(u' ');
    return found;
}

QString Sandbox::diagnostics() const
{
    auto tail = [this](const QString &path) {
        const QStringList lines = readText(m_home + path).split(u'\n');
        return lines.mid(std::max<qsizetype>(0, lines.size() - 25)).join(u'\n');
    };
    return QStringLiteral("--- install log ---\n%1\n--- services log ---\n%2")
        .arg(tail(QStringLiteral("/.quorvantis/profiles/default/logs/mac-app-install.log")), tail(QStringLiteral("/.sandbox/services.log")));
}
