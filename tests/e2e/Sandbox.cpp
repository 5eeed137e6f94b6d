#include "Sandbox.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>

namespace {

QString simRoot()
{
    return QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim");
}

// Runs a sandbox program to its end; its standard output, or nothing when it failed.
std::optional<QByteArray> runSim(const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProgram(simRoot() + QStringLiteral("/launch"));
    process.setArguments(arguments);
    process.start();
    if (!process.waitForStarted(10000) || !process.waitForFinished(120000)) {
        if (error)
            *error = QStringLiteral("sim/launch did not run: ") + process.errorString();
        process.kill();
        process.waitForFinished(5000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("sim/launch failed: ") + QString::fromUtf8(process.readAllStandardError());
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

// NUL-separated /proc text as one string per entry.
QStringList procEntries(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList entries;
    for (const QByteArray &piece : file.readAll().split('\0')) {
        if (!piece.isEmpty())
            entries.append(QString::fromUtf8(piece));
    }
    return entries;
}

} // namespace

namespace {
const QStringList openedSchemes{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("x-apple.systempreferences")};
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

QJsonObject Sandbox::Reply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

Sandbox::Sandbox()
{
    m_root.setAutoRemove(qEnvironmentVariableIsEmpty("QUORVANTIS_E2E_KEEP"));
    m_home = QDir(m_root.path()).filePath(QStringLiteral("home"));
}

Sandbox::~Sandbox()
{
    stop();
}

bool Sandbox::start(QString *error)
{
    if (!m_root.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    const QString stampTool = QStringLiteral(QUORVANTIS_STAMP_TOOL);
    // Whatever the launcher got running before a failure is stopped with the sandbox.
    m_started = true;
    const auto output = runSim({QStringLiteral("--home"), m_home, QStringLiteral("--fresh"), QStringLiteral("--services-only"),
                                QStringLiteral("--fast"), QStringLiteral("--no-demo"), QStringLiteral("--settings-action"),
                                QStringLiteral("record"), QStringLiteral("--browser"), QStringLiteral("record"),
                                QStringLiteral("--stamp"), stampTool},
                               error);
    if (!output)
        return false;
    const QJsonObject summary = QJsonDocument::fromJson(*output).object();
    m_home = summary.value(QStringLiteral("home")).toString();
    m_bundle = summary.value(QStringLiteral("bundle")).toString();
    m_onboardingURL = QUrl(summary.value(QStringLiteral("onboardingURL")).toString());
    m_controlURL = QUrl(summary.value(QStringLiteral("controlURL")).toString());
    QFile services(QDir(m_home).filePath(QStringLiteral(".sandbox/services.json")));
    if (services.open(QIODevice::ReadOnly))
        m_controlToken = QJsonDocument::fromJson(services.readAll()).object().value(QStringLiteral("controlToken")).toString().toUtf8();
    if (m_home.isEmpty() || m_bundle.isEmpty() || !m_controlURL.isValid() || m_controlToken.isEmpty()) {
        *error = QStringLiteral("unexpected summary from sim/launch: ") + QString::fromUtf8(*output);
        return false;
    }

    // The environment the launcher starts the application with.
    const QJsonObject environment = summary.value(QStringLiteral("appEnvironment")).toObject();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        setEnvironment(it.key().toUtf8(), it.value().toString().toUtf8());
    for (const QJsonValue &name : summary.value(QStringLiteral("appUnsetEnvironment")).toArray())
        setEnvironment(name.toString().toUtf8(), std::nullopt);
    if (qgetenv("HOME") != m_home.toUtf8()) {
        *error = QStringLiteral("the sandbox environment has no HOME");
        return false;
    }

    // Nothing completes behind the test's back: the test authorizes and binds itself.
    return setSetting(QStringLiteral("authorizeAfterMs"), QJsonValue::Null)
        && setSetting(QStringLiteral("bindingAutoCompleteMs"), QJsonValue::Null);
}

void Sandbox::stop()
{
    if (m_started) {
        runSim({QStringLiteral("--home"), m_home, QStringLiteral("--stop")}, nullptr);
        m_started = false;
    }
    restoreEnvironment();
}

void Sandbox::setEnvironment(const QByteArray &name, const std::optional<QByteArray> &value)
{
    if (!m_savedEnvironment.contains(name)) {
        m_savedEnvironment.insert(name, qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData()))
                                                                                     : std::nullopt);
    }
    if (value)
        qputenv(name.constData(), *value);
    else
        qunsetenv(name.constData());
}

void Sandbox::restoreEnvironment()
{
    for (auto it = m_savedEnvironment.begin(); it != m_savedEnvironment.end(); ++it) {
        if (it.value())
            qputenv(it.key().constData(), *it.value());
        else
            qunsetenv(it.key().constData());
    }
    m_savedEnvironment.clear();
}

QString Sandbox::profileDirectory() const
{
    return QDir(m_home).filePath(QStringLiteral(".quorvantis/profiles/default"));
}

QString Sandbox::profileFile(const QString &name) const
{
    return QDir(profileDirectory()).filePath(name);
}

Sandbox::Reply Sandbox::request(const QByteArray &method, const QUrl &url, const QHash<QByteArray, QByteArray> &headers,
                                const QByteArray &body, int timeoutMs)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QNetworkRequest request(url);
    for (auto it = headers.begin(); it != headers.end(); ++it)
        request.setRawHeader(it.key(), it.value());
    if (!body.isEmpty() && !headers.contains("Content-Type"))
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QBuffer payload;
    payload.setData(body);
    payload.open(QIODevice::ReadOnly);
    QNetworkReply *reply = network.sendCustomRequest(request, method, &payload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, reply, &QNetworkReply::abort);
    if (!reply->isFinished())
        loop.exec();
    Reply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    reply->deleteLater();
    return result;
}

Sandbox::Reply Sandbox::control(const QString &operation, const QJsonObject &body)
{
    QUrl url = m_controlURL;
    url.setPath(QStringLiteral("/control/") + operation);
    const bool get = operation == u"state";
    return request(get ? QByteArray("GET") : QByteArray("POST"), url, {{"X-Sandbox-Token", m_controlToken}},
                   get ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QJsonObject Sandbox::state()
{
    return control(QStringLiteral("state")).json();
}

bool Sandbox::setPermission(const QString &name, bool granted)
{
    return control(QStringLiteral("permission"), {{QStringLiteral("name"), name}, {QStringLiteral("granted"), granted}}).status
        == 200;
}

bool Sandbox::setSetting(const QString &key, const QJsonValue &value)
{
    return control(QStringLiteral("setting"), {{QStringLiteral("key"), key}, {QStringLiteral("value"), value}}).status == 200;
}

bool Sandbox::scriptFailure(const QString &kind, int count)
{
    return control(QStringLiteral("failure"), {{QStringLiteral("kind"), kind}, {QStringLiteral("count"), count}}).status
        == 200;
}

QJsonObject Sandbox::agent(const QString &name)
{
    return state()
        .value(QStringLiteral("state"))
        .toObject()
        .value(QStringLiteral("agents"))
        .toObject()
        .value(name)
        .toObject();
}

Sandbox::Reply Sandbox::pressBindButton(const QUrl &link)
{
    // The page's script posts to the attempts resource of its own path, with the token of the
    // link's fragment as bearer.
    QUrl attempts = link.adjusted(QUrl::RemoveFragment | QUrl::RemoveQuery);
    QString path = attempts.path();
    path.replace(QStringLiteral("/agents/"), QStringLiteral("/api/agents/"));
    attempts.setPath(path + QStringLiteral("/attempts"));
    return request("POST", attempts, {{"Authorization", "Bearer " + link.fragment().toUtf8()}}, "{}");
}

QList<QJsonObject> Sandbox::records() const
{
    QList<QJsonObject> entries;
    QFile file(QDir(m_home).filePath(QStringLiteral(".sandbox/records.jsonl")));
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            entries.append(document.object());
    }
    return entries;
}

QStringList Sandbox::openedURLs(const QString &openedBy) const
{
    QStringList urls;
    for (const QJsonObject &entry : records()) {
        if (entry.value(QStringLiteral("tool")).toString() == u"url-handler"
            && (openedBy.isEmpty() || entry.value(QStringLiteral("openedBy")).toString() == openedBy))
            urls.append(entry.value(QStringLiteral("url")).toString());
    }
    return urls;
}

QString Sandbox::readText(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList Sandbox::whereFound(const QString &value) const
{
    QStringList places;
    if (value.isEmpty())
        return places;

    // Every log under the home: the install log and what the agent's daemon writes.
    for (const QString &directory : {QDir(m_home).filePath(QStringLiteral(".quorvantis/logs")),
                                     QDir(profileDirectory()).filePath(QStringLiteral("logs"))}) {
        QDirIterator it(directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (readText(path).contains(value))
                places.append(QStringLiteral("log ") + path);
        }
    }

    // How every stand-in was started.
    for (const QJsonObject &entry : records()) {
        const QString tool = entry.value(QStringLiteral("tool")).toString();
        const QString pid = QString::number(entry.value(QStringLiteral("pid")).toInt());
        for (const QJsonValue &argument : entry.value(QStringLiteral("argv")).toArray()) {
            if (argument.toString().contains(value))
                places.append(QStringLiteral("arguments of %1 (pid %2)").arg(tool, pid));
        }
        const QJsonObject environment = entry.value(QStringLiteral("env")).toObject();
        for (auto it = environment.begin(); it != environment.end(); ++it) {
            if (it.key().contains(value) || it.value().toString().contains(value))
                places.append(QStringLiteral("environment of %1 (pid %2): %3").arg(tool, pid, it.key()));
        }
    }

    // The processes running now in this home.
    const QString homeEntry = QStringLiteral("HOME=") + m_home;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QStringList environment = procEntries(QStringLiteral("/proc/%1/environ").arg(pid));
        const QStringList arguments = procEntries(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!environment.contains(homeEntry) && !arguments.join(u' ').contains(m_home))
            continue;
        const QString name = arguments.value(0);
        for (const QString &argument : arguments) {
            if (argument.contains(value))
                places.append(QStringLiteral("arguments of running %1 (pid %2)").arg(name, pid));
        }
        for (const QString &variable : environment) {
            if (variable.contains(value))
                places.append(QStringLiteral("environment of running %1 (pid %2): %3").arg(name, pid, variable.section(u'=', 0, 0)));
        }
    }
    return places;
}

QStringList Sandbox::runningProcesses() const
{
    QStringList found;
    const QString homeEntry = QStringLiteral("HOME=") + m_home;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric || pid == self)
            continue;
        const QStringList arguments = procEntries(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (procEntries(QStringLiteral("/proc/%1/environ").arg(pid)).contains(homeEntry)
            || arguments.join(u' ').contains(m_home))
            found.append(pid + u' ' + arguments.join(u' '));
    }
    return found;
}

QString Sandbox::diagnostics() const
{
    auto tail = [this](const QString &path) {
        const QStringList lines = readText(path).split(u'\n');
        return lines.mid(std::max<qsizetype>(0, lines.size() - 25)).join(u'\n');
    };
    return QStringLiteral("--- install log ---\n%1\n--- services log ---\n%2")
        .arg(tail(QDir(profileDirectory()).filePath(QStringLiteral("logs/mac-app-install.log"))),
             tail(QDir(m_home).filePath(QStringLiteral(".sandbox/services.log"))));
}
