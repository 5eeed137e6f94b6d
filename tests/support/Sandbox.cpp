#include "support/Sandbox.h"

#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"

#include "process/CLIService.h"
#include "support/ModelAccess.h"

#include <QCoro/QCoroTimer>
#include <QDirIterator>
#include <QJsonArray>

#include <csignal>
#include <sys/stat.h>

namespace QuorvantisTest {

namespace {

using namespace std::chrono_literals;
using Stage = AppModel::InstallStage;

// Runs a program of sim/ to its end: its standard output, or nothing when it failed.
std::optional<QByteArray> runSim(const QString &program, const QStringList &arguments, QString *error = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/") + program, arguments);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput();
    if (error)
        *error = program + QStringLiteral(" failed: ") + QString::fromUtf8(process.readAllStandardError());
    process.kill();
    process.waitForFinished(5000);
    return std::nullopt;
}

// Every marker the application keeps and the only values it may hold.
const QHash<QString, QString> markerShapes{
    {"mac-app-install-stage", "(runtime|permissions|setup|daemon|channel|handshake)\n"},
    {"mac-app-permissions-completed", "(screenRecording\n)?(accessibility\n)?(fullDiskAccess\n)?"},
    {"mac-app-permission-awaiting", "(screenRecording|accessibility|fullDiskAccess)\n"},
    {"mac-app-accessibility-probe", "(granted|denied|mismatch|missing|unsupported)\n"},
    {"mac-app-notifications", "off\n"},
    {"mac-app-owner-setup-url", "http://localhost:\\d+/agents/[a-z0-9-]+/setup#[^\\s#]+\n"},
};

// The real Qt timer, counted so that the loops of a quit model can be let out.
QCoro::Task<void> countedSleep(std::chrono::milliseconds duration, std::shared_ptr<int> pending)
{
    ++*pending;
    co_await QCoro::sleepFor(duration);
    --*pending;
}

} // namespace

Sandbox::Sandbox(const QString &stampTool)
{
    const QStringList arguments{"--home",    m_home,      "--fresh",           "--services-only",
                                "--fast",    "--no-demo", "--settings-action", "record",
                                "--browser", "record",    "--stamp",           stampTool};
    const auto output = runSim(QStringLiteral("launch"), arguments, &m_launchError);
    const QJsonObject summary = QJsonDocument::fromJson(output.value_or(QByteArray())).object();
    m_bundle = summary["bundle"].toString();
    QJsonObject environment = summary["appEnvironment"].toObject();
    for (const QJsonValue &name : summary["appUnsetEnvironment"].toArray())
        environment.insert(name.toString(), QJsonValue::Null);
    for (auto it = environment.begin(); it != environment.end(); ++it) {
        const QByteArray name = it.key().toUtf8();
        it.value().isNull() ? qunsetenv(name) : qputenv(name, it.value().toString().toUtf8());
    }
}

void Sandbox::stop()
{
    if (std::exchange(m_started, false))
        runSim(QStringLiteral("launch"), {QStringLiteral("--home"), m_home, QStringLiteral("--stop")});
}

bool Sandbox::simctl(const QStringList &arguments) const
{
    return runSim(QStringLiteral("simctl"), QStringList{QStringLiteral("--home"), m_home} + arguments).has_value();
}

QStringList Sandbox::whereFound(const QString &value) const
{
    QStringList files{m_home + "/.sandbox/records.jsonl"};
    for (const QString &logs : {m_home + "/.quorvantis/logs", profileFile(QStringLiteral("logs"))}) {
        for (QDirIterator it(logs, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            files << it.next();
    }
    for (const QString &id : QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs)) {
        if (readFile("/proc/" + id + "/environ").contains(m_home.toUtf8()))
            files << "/proc/" + id + "/cmdline"
                  << "/proc/" + id + "/environ";
    }
    QStringList places;
    for (const QString &file : std::as_const(files)) {
        if (readFile(file).contains(value.toUtf8()))
            places << file;
    }
    return places;
}

QString Sandbox::diagnostics() const
{
    return QString::fromUtf8(readFile(profileFile(QStringLiteral("logs/mac-app-install.log"))).right(3000)
                             + "\n--- services log ---\n" + readFile(m_home + "/.sandbox/services.log").right(3000));
}

QStringList Sandbox::markerFaults() const
{
    QStringList faults;
    const QDir profile(profileFile({}));
    // A probe job the killed application left running may be between writing its answer and
    // moving it in place: its temporary, named after its process, is judged once that is gone.
    const auto inFlight = [&profile] {
        static const QRegularExpression owned(QStringLiteral("\\A\\.mac-app-[a-z-]+\\.([0-9]+)\\z"));
        for (const QString &name : profile.entryList(QDir::Files | QDir::Hidden)) {
            const auto match = owned.match(name);
            if (match.hasMatch() && ::kill(pid_t(match.captured(1).toLong()), 0) == 0)
                return true;
        }
        return false;
    };
    spinUntil([&] { return !inFlight(); }, 10000);
    for (const QFileInfo &file :
         profile.entryInfoList({QStringLiteral("*mac-app-*")}, QDir::AllEntries | QDir::Hidden)) {
        const QString text = QString::fromUtf8(readFile(file.filePath()));
        const QString shape = markerShapes.value(file.fileName(), QStringLiteral("(?!)"));
        const bool whole = QRegularExpression("\\A(?:" + shape + ")\\z").match(text).hasMatch();
        const int mode = posixMode(file.filePath());
        if (text.isEmpty() || !whole || mode != 0600)
            faults << QStringLiteral("%1 (mode %2): \"%3\"").arg(file.fileName()).arg(mode, 0, 8).arg(text);
    }
    return faults;
}

QStringList Sandbox::secretFaults(const QStringList &setupCodes, const QString &archive,
                                  const QStringList &runnerEnvironment) const
{
    const auto profileText
        = [this](const char *name) { return QString::fromUtf8(readFile(profileFile(QLatin1String(name))).trimmed()); };
    QList<std::pair<QString, QString>> secrets{
        {"enrolment key", QString::fromUtf8(readFile(m_home + "/.sandbox/enrollment-key").trimmed())},
        {"service key",
         QJsonDocument::fromJson(profileText("config.json").toUtf8())["quorvantisServiceApiKey"].toString()},
        {"status token", profileText("tui-token")},
        {"binding-link token", QUrl(profileText("mac-app-owner-setup-url")).fragment()},
    };
    QStringList codes = setupCodes;
    for (const QJsonValue &agent : state()["agents"].toObject())
        codes << agent["setupCode"].toString();
    for (const QString &code : std::as_const(codes)) {
        if (!code.isEmpty()) {
            secrets.append({"setup code", code});
            secrets.append({"bare setup code", QString(code).remove(u'-')});
        }
    }
    for (const QJsonValue &account : state()["authorizations"].toObject())
        secrets.append({"workspace password", account["password"].toString()});

    // The scan reads what it claims to: the home is in the records and the running agent's
    // environment, and the install log has its runs.
    QStringList faults;
    const QString scanned = (whereFound(m_home) + whereFound(QStringLiteral("Process exited with status 0"))).join(' ');
    for (const char *place : {"records.jsonl", "/environ", "mac-app-install.log"}) {
        if (!scanned.contains(QLatin1String(place)))
            faults << QStringLiteral("the scan missed ") + QLatin1String(place);
    }
    // The application's own files: the archive, the profile's markers and its logs.
    QStringList files;
    if (!archive.isEmpty())
        files << archive;
    for (QDirIterator it(profileFile({}), {"mac-app-*"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next();
    for (const QString &file : std::as_const(files)) {
        if (posixMode(file) != 0600)
            faults << file + " has mode " + QString::number(posixMode(file), 8);
    }
    for (const auto &[what, value] : secrets) {
        if (value.size() < 8)
            faults << "no " + what + " to look for";
        for (const QString &place : whereFound(value))
            faults << what + " in " + place;
        for (const QString &file : std::as_const(files)) {
            if (!file.endsWith(u"mac-app-owner-setup-url") && readFile(file).contains(value.toUtf8()))
                faults << what + " in " + file;
        }
        if (!runnerEnvironment.filter(value).isEmpty())
            faults << what + " in the runner's environment";
    }
    const QString logs = profileFile(QStringLiteral("logs"));
    for (QString directory = logs; directory.startsWith(m_home + '/'); directory = QFileInfo(directory).path()) {
        if (posixMode(directory) & S_IWOTH)
            faults << directory + " is world-writable";
    }
    return faults;
}

QCoro::Task<int> installUntilOnline(AppModel *model, QString code)
{
    QUrl pressed;
    for (int tick = 0; tick < 1500; ++tick) {
        co_await QCoro::sleepFor(100ms);
        if (model->attention().lastError())
            co_return 2;
        const std::optional<Stage> stage = model->journey().installStage();
        if (!stage && model->journey().overallState() == AppModel::OverallState::online)
            co_return 0;
        const bool permissionDue = !model->permissions().permissionOperationInFlight() && model->permissions().currentPermissionOnboardingKind();
        if (stage == Stage::permissions && permissionDue) {
            if (model->permissions().permissionPromptKind())
                co_await model->confirmPermissionOnboarding();
            else
                co_await model->continuePermissionOnboarding();
        } else if (stage == Stage::setup && !model->setup().isSubmittingSetup()) {
            if (code.isEmpty()) {
                model->beginEnrollmentSetup();
                model->setSetupAgentName(QStringLiteral("sandbox-agent"));
                model->setEnrollmentWorkspace(AppModel::EnrollmentWorkspace::google);
            } else {
                model->setSetupCodeInput(code);
            }
            co_await model->submitActiveSetup();
        } else if (stage == Stage::channel && model->channel().ownerSetupPending() && !model->channel().ownerSetupRequestInFlight()) {
            // The binding sheet's "重新生成", then the owner presses the page's button.
            if (!model->channel().ownerSetupURL()) {
                co_await model->refreshOwnerSetup(true);
            } else if (*model->channel().ownerSetupURL() != pressed) {
                pressed = *model->channel().ownerSetupURL();
                QProcess::startDetached(QStringLiteral(QUORVANTIS_SOURCE_DIR "/sim/simctl"),
                                        {QStringLiteral("--home"), QDir::homePath(), QStringLiteral("click-binding")});
            }
        }
    }
    co_return 3;
}

AppModel &Application::relaunch()
{
    quit();
    const std::shared_ptr<int> pending = m_pendingSleeps;
    m_model = std::make_unique<AppModel>(AppModel::Options{
        .bootstrapRetryDelays = {200ms, 400ms, 800ms},
        .autoResume = true,
        .sleeper = [pending](std::chrono::milliseconds duration) { return countedSleep(duration, pending); },
    });
    return *m_model;
}

void Application::quit(bool lastOne)
{
    const std::weak_ptr<CLIService> runner = m_model ? AppModelAccess{*m_model}.cli() : nullptr;
    m_model.reset();
    const QDeadlineTimer turns(200);
    const auto ended = [&] {
        const bool runEnded = runner.expired() || !runner.lock()->isRunning();
        return turns.hasExpired() && runEnded && (!lastOne || *m_pendingSleeps == 0);
    };
    spinUntil(ended, 60000);
}

} // namespace QuorvantisTest
