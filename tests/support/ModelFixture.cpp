#include "support/ModelFixture.h"

#include <QDir>
#include <QFile>

#include <stdexcept>

using namespace QuorvantisTest;

namespace {

QCoro::Task<bool> answer(bool value)
{
    co_return value;
}

QCoro::Task<CLIResult> exitStatus(qint32 status)
{
    co_return CLIResult{status, std::nullopt};
}

QCoro::Task<OwnerSetupSession> noSession()
{
    throw QuorvantisNativeError(QStringLiteral("OWNER_SETUP_UNAVAILABLE"), QStringLiteral("scripted"));
    co_return OwnerSetupSession{};
}

QCoro::Task<std::optional<OwnerSetupLink>> noLink()
{
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> noVersion()
{
    co_return std::nullopt;
}

} // namespace

ModelFixture::ModelFixture(Defaults defaults)
{
    QDir().mkpath(profileDirectory());
    if (defaults == Failing) {
        for (const Run &run : {setupWithCode, setupEnroll, setupResume})
            run->steps = {Step::exit(1)};
        agentStarted->answers = {false};
    } else {
        enrollmentKey = validEnrollmentKey();
    }

    effects.setupWithCode = [run = setupWithCode](QString code, std::optional<QString> agentName,
                                                  AppModel::OutputHandler onOutput,
                                                  AppModel::AuthorizationHandler onAuthorization) {
        return play(run, {code, agentName.value_or(QStringLiteral("<none>"))}, std::move(onOutput),
                    std::move(onAuthorization));
    };
    effects.setupEnroll = [run = setupEnroll](QString workspace, QString agentName, QString key,
                                              AppModel::OutputHandler onOutput,
                                              AppModel::AuthorizationHandler onAuthorization) {
        return play(run, {workspace, agentName, key}, std::move(onOutput), std::move(onAuthorization));
    };
    effects.setupResume = [run = setupResume](AppModel::OutputHandler onOutput,
                                              AppModel::AuthorizationHandler onAuthorization) {
        return play(run, {}, std::move(onOutput), std::move(onAuthorization));
    };
    effects.environmentPrepare = [run = environmentPrepare](AppModel::OutputHandler onOutput) {
        return play(run, {}, std::move(onOutput), {});
    };
    effects.daemonInstall = [run = daemonInstall](AppModel::OutputHandler onOutput) {
        return play(run, {}, std::move(onOutput), {});
    };
    effects.agentStarted = [script = agentStarted] { return reply(script, std::nullopt); };
    effects.setupAuthorizationOpen = [script = authorizationOpen](QUrl url) { return reply(script, url); };
    effects.enrollmentKeyProvider = [this] { return enrollmentKey; };

    effects.permissionCheck = [](PermissionKind) { return answer(false); };
    effects.permissionPrepare = [](PermissionKind) { return answer(false); };
    effects.accessibilityPrepare = [](AccessibilityStep, bool) { return answer(false); };
    effects.openSystemSettings = [](std::optional<PermissionKind>) {};
    effects.ownerSetupRequest = [](std::optional<QUrl>, bool) { return noSession(); };
    effects.ownerSetupOpen = [](QUrl) { return answer(true); };
    effects.ownerSetupCopy = [](QUrl) { return true; };
    effects.ownerSetupLinkSave = [](std::optional<OwnerSetupLink>) {};
    effects.agentUpdateVersion = [] { return noVersion(); };
    effects.runScript = [](QString, AppModel::OutputHandler) { return exitStatus(0); };
    effects.openURL = [](QUrl) { return true; };
    ownerSetupLinkLoad = [] { return noLink(); };
}

ModelFixture::~ModelFixture()
{
    // Before the scripts and the clock it uses.
    m_model.reset();
}

QString ModelFixture::profileFile(const QString &name) const
{
    return QDir(profileDirectory()).filePath(name);
}

void ModelFixture::writeProfileFile(const QString &name, const QByteArray &content) const
{
    QFile file(profileFile(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        throw std::runtime_error("cannot write a profile file");
}

QByteArray ModelFixture::readProfileFile(const QString &name) const
{
    QFile file(profileFile(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

AppModel &ModelFixture::make(bool autoResume)
{
    m_model.reset();
    willChangeCount = 0;
    m_model = std::make_unique<AppModel>(AppModel::Options{
        .cli = cli,
        .profileDirectory = profileDirectory(),
        .effects = effects,
        .ownerSetupLinkLoad = ownerSetupLinkLoad,
        .bootstrapRetryDelays = retryDelays,
        .autoResume = autoResume,
        .sleeper = [this](std::chrono::milliseconds duration) { return time.sleep(duration); },
        .clock = [this] { return time.now(); },
        .statusTimeout = statusTimeout,
    });
    QObject::connect(m_model.get(), &AppModel::willChange, m_model.get(), [this] { ++willChangeCount; });
    return *m_model;
}

AppModel &ModelFixture::makeAt(const QByteArray &stage, bool configured)
{
    if (!stage.isEmpty())
        writeProfileFile(QStringLiteral("mac-app-install-stage"), stage + '\n');
    if (configured)
        writeProfileFile(QStringLiteral("config.json"), "{}\n");
    return make();
}

int ModelFixture::drainTime(int limit)
{
    int resumed = 0;
    while (resumed < limit && time.advanceToNext())
        ++resumed;
    return resumed;
}
