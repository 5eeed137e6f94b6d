#include "support/ModelFixture.h"

using namespace QuorvantisTest;

ModelFixture::ModelFixture(Defaults defaults)
{
    if (defaults == Failing) {
        for (const Run &run : {setupWithCode, setupEnroll, setupResume})
            run->steps = {Step::exit(1)};
        agentStarted->answers = {false};
    }
    effects.setupWithCode = codeEffect(setupWithCode);
    effects.setupEnroll = enrollEffect(setupEnroll);
    effects.setupResume = resumeEffect(setupResume);
    effects.environmentPrepare = runEffect(environmentPrepare);
    effects.daemonInstall = runEffect(daemonInstall);
    effects.agentStarted = answerEffect(agentStarted);
    effects.setupAuthorizationOpen = [script = authorizationOpen](QUrl url) { return reply(script, url); };
    // Succeeding: an enrolment key is bundled.
    effects.enrollmentKeyProvider = [defaults] { return defaults == Succeeding ? std::optional(validEnrollmentKey()) : std::nullopt; };
    effects.permissionCheck = [](PermissionKind) { return value(false); };
    effects.permissionPrepare = [](PermissionKind) { return value(false); };
    effects.accessibilityPrepare = [](AccessibilityStep, bool) { return value(false); };
    effects.openSystemSettings = [](std::optional<PermissionKind>) { return value(true); };
    effects.ownerSetupRequest = [](std::optional<QUrl>, bool) {
        return failing<OwnerSetupSession>(QuorvantisNativeError(QStringLiteral("OWNER_SETUP_UNAVAILABLE"), {}));
    };
    effects.ownerSetupOpen = [](QUrl) { return value(true); };
    effects.ownerSetupCopy = [](QUrl) { return true; };
    effects.ownerSetupLinkSave = [](std::optional<OwnerSetupLink>) {};
    effects.agentUpdateVersion = [] { return value(std::optional<QString>()); };
    effects.runScript = [](QString, AppModel::OutputHandler) { return value(CLIResult{0, std::nullopt}); };
    effects.openURL = [](QUrl) { return value(true); };
}

AppModel &ModelFixture::make(bool autoResume)
{
    m_model.reset();
    m_model = std::make_unique<AppModel>(AppModel::Options{
        .cli = cli,
        .profileDirectory = profileDirectory(),
        .effects = effects,
        .ownerSetupLinkLoad = ownerSetupLinkLoad,
        .bootstrapRetryDelays = {std::chrono::seconds(2), std::chrono::seconds(4), std::chrono::seconds(8)},
        .autoResume = autoResume,
        .sleeper = [this](std::chrono::milliseconds duration) { return time.sleep(duration); },
        .clock = [this] { return time.now(); },
        .statusTimeout = statusTimeout,
        .fetchStatus = fetchStatus,
    });
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

QString ModelFixture::installation() const
{
    return describe(m_model->journey());
}
