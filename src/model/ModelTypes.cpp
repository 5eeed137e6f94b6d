#include "model/ModelTypes.h"

#include <algorithm>
#include <cmath>

QString title(SetupPhase phase)
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

int PackageInstallProgress::percentage() const
{
    if (total == 0)
        return 0;
    const double ratio = std::min(1.0, double(completed) / double(total));
    return int(std::round(ratio * 100.0)); // std::round rounds halves away from zero
}
