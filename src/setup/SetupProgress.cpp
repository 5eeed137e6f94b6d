#include "app/AppModel.h"
#include "app/Text.h"

#include <cmath>

QString AppModel::title(SetupPhase phase)
{
    switch (phase) {
    case SetupPhase::runtime: return QStringLiteral("准备运行环境");
    case SetupPhase::preflight: return QStringLiteral("检查运行环境");
    case SetupPhase::permissions: return QStringLiteral("配置系统权限");
    case SetupPhase::redeem: return QStringLiteral("验证安装码");
    case SetupPhase::configure: return QStringLiteral("写入安全配置");
    case SetupPhase::verify: return QStringLiteral("验证安装结果");
    case SetupPhase::starting: return QStringLiteral("安装并启动 Agent");
    case SetupPhase::channel: return QStringLiteral("绑定 Channel");
    case SetupPhase::handshake: return QStringLiteral("验证 Agent 状态");
    case SetupPhase::online: return QStringLiteral("Agent 上线");
    }
    return {};
}

int AppModel::PackageInstallProgress::percentage() const
{
    if (total == 0)
        return 0;
    const double ratio = std::min(1.0, double(completed) / double(total));
    return int(std::round(ratio * 100.0)); // std::round rounds halves away from zero
}

QList<AppModel::SetupProgressItem> AppModel::initialProgress()
{
    QList<SetupProgressItem> items;
    for (const SetupPhase phase : allCases<SetupPhase>())
        items.append({phase, ProgressState::pending});
    return items;
}

void AppModel::applyProgress(const QString &phase, const QString &status, const std::optional<QString> &detail)
{
    const auto items = setupProgress();
    const auto found = std::find_if(items.cbegin(), items.cend(),
                                    [&](const SetupProgressItem &item) { return rawValue(item.phase) == phase; });
    if (found == items.cend())
        return;
    const qsizetype index = found - items.cbegin();
    const bool running = status == u"running";

    setupProgress.mutate([&](QList<SetupProgressItem> &list) {
        if (running) {
            for (qsizetype i = 0; i < index; ++i)
                list[i].state = ProgressState::complete;
        }
        list[index].state = status == u"complete" ? ProgressState::complete : ProgressState::running;
    });
    if (running && detail)
        setupProgressDetail = Text::graphemePrefix(*detail, 80);
    else
        setupProgressDetail = std::nullopt;
}

void AppModel::beginProgress()
{
    auto items = initialProgress();
    items.first().state = ProgressState::running;
    setupProgress = std::move(items);
    setupProgressDetail = std::nullopt;
    packageInstallProgress = std::nullopt;
    overallState = OverallState::starting;
}

void AppModel::updatePackageInstallProgress(std::optional<int> completed, std::optional<int> total)
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
    packageInstallProgress = PackageInstallProgress{next, *total};
}

std::pair<int, int> AppModel::setupProgressCounts() const
{
    const auto &items = setupProgress();
    const auto completed = std::count_if(items.cbegin(), items.cend(),
                                         [](const SetupProgressItem &item) { return item.state == ProgressState::complete; });
    return {int(completed), int(items.size())};
}

double AppModel::setupProgressFraction() const
{
    const auto [completed, total] = setupProgressCounts();
    return total == 0 ? 0.0 : double(completed) / double(total);
}

bool AppModel::showsPackageInstallProgress() const
{
    return isPreparingEnvironment() && setupProgressDetail() == QStringLiteral("安装 Quorvantis");
}

QString AppModel::currentTask() const
{
    if (installStage == InstallStage::channel)
        return QStringLiteral("Waiting for channel binding");
    if (statusSnapshot().currentTask)
        return *statusSnapshot().currentTask;
    if (isSubmittingSetup())
        return QStringLiteral("Quorvantis 正在完成设置");
    if (statusSnapshot().bridgeConnected)
        return QStringLiteral("Idle");
    if (installStage == InstallStage::setup)
        return QStringLiteral("Waiting for setup");
    return QStringLiteral("等待 Agent 状态");
}
