#include "model/InstallJourney.h"

#include "core/Text.h"
#include "model/Attention.h"
#include "model/ProfileMarkers.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

QList<SetupProgressItem> initialProgress()
{
    QList<SetupProgressItem> items;
    for (const SetupPhase phase : allCases<SetupPhase>())
        items.append({phase, ProgressState::pending});
    return items;
}

// The progress list of a stage: how many leading phases are complete and which one runs. No
// stage: the installation is finished and every phase is complete.
QList<SetupProgressItem> progressAt(std::optional<InstallStage> stage)
{
    struct Row { int complete; std::optional<SetupPhase> running; };
    const Row row = [stage]() -> Row {
        if (!stage)
            return {int(allCases<SetupPhase>().size()), std::nullopt};
        switch (*stage) {
        case InstallStage::runtime: return {0, SetupPhase::runtime};
        case InstallStage::permissions: return {2, SetupPhase::permissions};
        case InstallStage::setup: return {3, std::nullopt};
        case InstallStage::daemon: return {6, SetupPhase::starting};
        case InstallStage::channel: return {7, SetupPhase::channel};
        case InstallStage::handshake: return {8, SetupPhase::handshake};
        }
        return {0, std::nullopt};
    }();
    auto items = initialProgress();
    for (int i = 0; i < row.complete; ++i)
        items[i].state = ProgressState::complete;
    if (row.running)
        items[int(*row.running)].state = ProgressState::running;
    return items;
}

} // namespace

InstallJourney::InstallJourney(QString profileDirectory, Publication publication, Attention &attention)
    : m_profileDirectory(std::move(profileDirectory)),
      m_attention(attention),
      m_publication(publication),
      m_stage(ProfileMarkers::readInstallStage(m_profileDirectory)),
      m_configurationReady(publication, ModelChange::journey, false),
      m_installationValidated(publication, ModelChange::journey, false),
      m_onboardingCompleted(publication, ModelChange::journey, false),
      m_pendingSetupResume(publication, ModelChange::journey, false),
      m_overallState(publication, ModelChange::journey, OverallState::notInstalled),
      m_setupProgress(publication, ModelChange::journey, initialProgress()),
      m_setupProgressDetail(publication, ModelChange::journey),
      m_packageInstallProgress(publication, ModelChange::journey)
{
}

void InstallJourney::persistInstallStage(std::optional<InstallStage> stage)
{
    if (m_stage != stage)
        m_publication.markChanged(ModelChange::journey);
    m_stage = stage;
    ProfileMarkers::writeInstallStage(m_profileDirectory, stage);
}

void InstallJourney::restoreProgress(std::optional<InstallStage> stage)
{
    m_setupProgress = progressAt(stage);
}

void InstallJourney::restoreAtLaunch()
{
    ProfileMarkers::removeStaleTemporaries(m_profileDirectory);
    const bool configured = QFileInfo::exists(QDir(m_profileDirectory).filePath(QStringLiteral("config.json")));
    if (!configured) {
        if (!m_stage)
            persistInstallStage(InstallStage::runtime);
        restoreProgress(m_stage);
        m_overallState = m_stage == InstallStage::setup ? OverallState::waitingSetup : OverallState::starting;
        m_pendingSetupResume = m_stage != InstallStage::setup;
        return;
    }
    m_configurationReady = true;
    m_overallState = OverallState::starting;
    if (!m_stage) {
        m_installationValidated = true;
        m_onboardingCompleted = true;
        restoreProgress(std::nullopt);
        return;
    }
    m_pendingSetupResume = true;
    restoreProgress(m_stage);
    if (m_stage == InstallStage::channel || m_stage == InstallStage::handshake) {
        m_installationValidated = true;
        m_onboardingCompleted = m_stage == InstallStage::handshake;
    }
}

bool InstallJourney::report(JourneyEvent event)
{
    using Stage = InstallStage;
    const std::optional<Stage> at = m_stage;
    const auto isAt = [&at](std::optional<Stage> stage) { return at == stage; };
    switch (event) {
    case JourneyEvent::runtimePrepared:
        if (!isAt(Stage::runtime))
            return false;
        moveTo(Stage::permissions);
        return true;
    case JourneyEvent::permissionsVerified:
        if (!isAt(Stage::permissions))
            return false;
        if (configurationReady()) {
            // The agent was set up before its permissions were withdrawn: no code is left to
            // redeem, so the installation is finished again.
            moveTo(std::nullopt);
            m_overallState = OverallState::starting;
        } else {
            moveTo(Stage::setup);
        }
        return true;
    case JourneyEvent::permissionMissing:
        if (!isAt(std::nullopt) || !configurationReady())
            return false;
        moveTo(Stage::permissions);
        return true;
    case JourneyEvent::setupSucceeded:
        if (!isAt(Stage::setup))
            return false;
        moveTo(Stage::daemon);
        return true;
    case JourneyEvent::daemonAnswering:
        if (!isAt(Stage::daemon))
            return false;
        moveTo(Stage::channel);
        return true;
    case JourneyEvent::bindingCompleted:
        if (!isAt(Stage::channel))
            return false;
        moveTo(Stage::handshake);
        return true;
    case JourneyEvent::agentReady:
        if (!isAt(Stage::handshake))
            return false;
        moveTo(std::nullopt);
        return true;
    }
    return false;
}

void InstallJourney::moveTo(std::optional<InstallStage> stage)
{
    persistInstallStage(stage);
    restoreProgress(stage);
    m_setupProgressDetail = std::nullopt;
    if (!stage) {
        m_pendingSetupResume = false;
        m_installationValidated = true;
        m_onboardingCompleted = true;
        return;
    }
    switch (*stage) {
    case InstallStage::runtime:
        showResuming();
        break;
    case InstallStage::permissions:
        m_installationValidated = false;
        m_onboardingCompleted = false;
        showResuming();
        break;
    case InstallStage::setup:
        showWaitingForSetup();
        break;
    case InstallStage::daemon:
        m_configurationReady = true;
        showResuming();
        break;
    case InstallStage::channel:
        m_pendingSetupResume = false;
        m_installationValidated = true;
        m_onboardingCompleted = false;
        m_overallState = OverallState::online;
        break;
    case InstallStage::handshake:
        break;
    }
}

void InstallJourney::showResuming()
{
    m_pendingSetupResume = true;
    m_overallState = OverallState::starting;
}

void InstallJourney::showWaitingForSetup()
{
    // A failed run's rows and its "正在…" line go: nothing runs until the user submits.
    restoreProgress(m_stage);
    m_setupProgressDetail = std::nullopt;
    m_pendingSetupResume = false;
    m_overallState = OverallState::waitingSetup;
    m_attention.requestFocus(FocusTarget::setupCode());
}

void InstallJourney::setOverallState(OverallState state)
{
    m_overallState = state;
}

std::pair<int, int> InstallJourney::setupProgressCounts() const
{
    const auto &items = setupProgress();
    const auto completed = std::count_if(items.cbegin(), items.cend(),
                                         [](const SetupProgressItem &item) { return item.state == ProgressState::complete; });
    return {int(completed), int(items.size())};
}

double InstallJourney::setupProgressFraction() const
{
    const auto [completed, total] = setupProgressCounts();
    return total == 0 ? 0.0 : double(completed) / double(total);
}

void InstallJourney::applyProgress(SetupPhase phase, ProgressState state, const std::optional<QString> &detail)
{
    const qsizetype index = int(phase);
    const bool running = state == ProgressState::running;
    m_setupProgress.mutate([&](QList<SetupProgressItem> &list) {
        if (running) {
            for (qsizetype i = 0; i < index; ++i)
                list[i].state = ProgressState::complete;
        }
        list[index].state = state == ProgressState::complete ? ProgressState::complete : ProgressState::running;
    });
    if (running && detail)
        m_setupProgressDetail = Text::graphemePrefix(*detail, 80);
    else
        m_setupProgressDetail = std::nullopt;
}

void InstallJourney::beginProgress()
{
    auto items = initialProgress();
    items.first().state = ProgressState::running;
    m_setupProgress = std::move(items);
    m_setupProgressDetail = std::nullopt;
    m_packageInstallProgress = std::nullopt;
    m_overallState = OverallState::starting;
}

void InstallJourney::markRunningPhasesFailed()
{
    // The running step's line ("正在注册新 Agent") says nothing runs any more.
    m_setupProgressDetail = std::nullopt;
    m_setupProgress.mutate([](QList<SetupProgressItem> &items) {
        for (auto &item : items) {
            if (item.state == ProgressState::running)
                item.state = ProgressState::failed;
        }
    });
}

void InstallJourney::updatePackageInstallProgress(std::optional<int> completed, std::optional<int> total)
{
    const auto current = packageInstallProgress();
    if (!total) {
        if (!current)
            return;
        total = current->total;
    }
    if (*total < 1)
        return;
    const int atLeast = current ? current->completed : 0;
    const int next = std::min(std::max(completed.value_or(0), atLeast), *total);
    m_packageInstallProgress = PackageInstallProgress{next, *total};
}
