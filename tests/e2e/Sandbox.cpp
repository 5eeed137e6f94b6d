#include "Sandbox.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

namespace {

const QStringList openedSchemes{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("x-apple.systempreferences")};

// Runs a sandbox program to its end; its standard output, or nothing when it failed.
std::optional<QByteArray> runSim(const QString &program, const QStringList &arguments, QString *error = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/") + program, arguments);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput();
    if (error)
        *error = program + QStringLiteral(" failed: ") + process.errorString() + QString::fromUtf8(process.readAllStandardError());
    process.kill();
    process.waitForFinished(5000);
    return std::nullopt;
}

// The scan of whereFound, in a shell whose own HOME is elsewhere: the matching log and record
// files, then "running PID" (or, without a value, "PID ARGUMENTS") for each process in the home.
const char *const scan = R"sh(h="$SCAN_HOME"; v="$SCAN_VALUE"
[ -z "$v" ] || grep -rlaF -- "$v" "$h/.quorvantis/logs" "$h/.quorvantis/profiles/default/logs" "$h/.sandbox/records.jsonl" 2>/dev/null
for p in /proc/[0-9]*; do
  [ "${p#/proc/}" != "$PPID" ] || continue
  { tr '\0' '\n' < "$p/environ" | grep -qxF "HOME=$h" || tr '\0' ' ' < "$p/cmdline" | grep -qF "$h"; } 2>/dev/null || continue
  if [ -z "$v" ]; then echo "${p#/proc/} $(tr '\0' ' ' < "$p/cmdline" 2>/dev/null)"
  elif cat "$p/cmdline" "$p/environ" 2>/dev/null | grep -qaF -- "$v"; then echo "running ${p#/proc/}"; fi
done)sh";

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
    QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

bool Sandbox::start(QString *error)
{
    // Whatever the launcher got running before a failure is stopped with the sandbox.
    m_started = true;
    const auto output = runSim(QStringLiteral("launch"), {"--home", m_home, "--fresh", "--services-only", "--fast", "--no-demo", "--settings-action", "record",
                                                          "--browser", "record", "--stamp", QStringLiteral(QUORVANTIS_STAMP_TOOL)},
                               error);
    const QJsonObject summary = QJsonDocument::fromJson(output.value_or(QByteArray())).object();
    m_home = summary["home"].toString();
    m_bundle = summary["bundle"].toString();
    if (m_home.isEmpty() || m_bundle.isEmpty())
        return false;
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
    return simctl({"set", "authorizeAfterMs", "null"}) && simctl({"set", "bindingAutoCompleteMs", "null"});
}

void Sandbox::stop()
{
    if (std::exchange(m_started, false))
        runSim(QStringLiteral("launch"), {QStringLiteral("--home"), m_home, QStringLiteral("--stop")});
    for (auto it = m_savedEnvironment.begin(); it != m_savedEnvironment.end(); ++it)
        it.value() ? qputenv(it.key(), *it.value()) : qunsetenv(it.key());
    m_savedEnvironment.clear();
}

QString Sandbox::readText(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool Sandbox::simctl(const QStringList &arguments) const
{
    return runSim(QStringLiteral("simctl"), QStringList{QStringLiteral("--home"), m_home} + arguments).has_value();
}

const QJsonObject Sandbox::state() const
{
    return QJsonDocument::fromJson(readText(m_home + QStringLiteral("/.sandbox/state.json")).toUtf8()).object();
}

QStringList Sandbox::openedURLs(const QString &openedBy) const
{
    QStringList urls;
    for (const QString &line : readText(m_home + QStringLiteral("/.sandbox/records.jsonl")).split(u'\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line.toUtf8()).object();
        if (entry["tool"].toString() == u"url-handler" && (openedBy.isEmpty() || entry["openedBy"].toString() == openedBy))
            urls << entry["url"].toString();
    }
    return urls;
}

QStringList Sandbox::whereFound(const QString &value) const
{
    QProcess shell;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("SCAN_HOME"), m_home);
    environment.insert(QStringLiteral("SCAN_VALUE"), value);
    shell.setProcessEnvironment(environment);
    shell.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), QString::fromUtf8(scan)});
    shell.waitForFinished(60000);
    return QString::fromUtf8(shell.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

QString Sandbox::diagnostics() const
{
    auto tail = [this](const QString &path) { return readText(m_home + path).right(3000); };
    return QStringLiteral("--- install log ---\n%1\n--- services log ---\n%2")
        .arg(tail(QStringLiteral("/.quorvantis/profiles/default/logs/mac-app-install.log")), tail(QStringLiteral("/.sandbox/services.log")));
}
