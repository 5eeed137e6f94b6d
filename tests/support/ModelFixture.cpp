#include "support/ModelFixture.h"

#include <QDir>
#include <QFile>

#include <stdexcept>

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

ModelFixture::ModelFixture()
{
    QDir().mkpath(profileDirectory());
    effects.permissionCheck = [](PermissionKind) { return answer(false); };
    effects.permissionPrepare = [](PermissionKind) { return answer(false); };
    effects.accessibilityPrepare = [](AccessibilityStep, bool) { return answer(false); };
    effects.environmentPrepare = [](AppModel::OutputHandler) { return exitStatus(0); };
    effects.daemonInstall = [](AppModel::OutputHandler) { return exitStatus(0); };
    effects.agentStarted = [] { return answer(false); };
    effects.openSystemSettings = [](std::optional<PermissionKind>) {};
    effects.ownerSetupRequest = [](std::optional<QUrl>, bool) { return noSession(); };
    effects.ownerSetupOpen = [](QUrl) { return answer(true); };
    effects.ownerSetupCopy = [](QUrl) { return true; };
    effects.ownerSetupLinkSave = [](std::optional<OwnerSetupLink>) {};
    effects.setupAuthorizationOpen = [](QUrl) { return answer(true); };
    effects.agentUpdateVersion = [] { return noVersion(); };
    effects.enrollmentKeyProvider = [] { return std::optional<QString>(); };
    effects.setupEnroll = [](QString, QString, QString, AppModel::OutputHandler, AppModel::AuthorizationHandler) {
        return exitStatus(1);
    };
    effects.setupResume = [](AppModel::OutputHandler, AppModel::AuthorizationHandler) { return exitStatus(1); };
    effects.setupWithCode = [](QString, std::optional<QString>, AppModel::OutputHandler, AppModel::AuthorizationHandler) {
        return exitStatus(1);
    };
    effects.runScript = [](QString, AppModel::OutputHandler) { return exitStatus(0); };
    effects.openURL = [](QUrl) { return true; };
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

AppModel &ModelFixture::make(bool autoResume)
{
    m_model.reset();
    willChangeCount = 0;
    m_model = std::make_unique<AppModel>(AppModel::Options{
        .profileDirectory = profileDirectory(),
        .effects = effects,
        .ownerSetupLinkLoad = [] { return noLink(); },
        .bootstrapRetryDelays = retryDelays,
        .autoResume = autoResume,
        .sleeper = [this](std::chrono::milliseconds duration) { return time.sleep(duration); },
        .clock = [this] { return time.now(); },
        .statusTimeout = std::chrono::milliseconds(200),
    });
    QObject::connect(m_model.get(), &AppModel::willChange, m_model.get(), [this] { ++willChangeCount; });
    return *m_model;
}
