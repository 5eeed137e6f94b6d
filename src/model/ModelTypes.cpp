#include "model/ModelTypes.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

QString title(SetupPhase phase)
{
    switch (phase) {
    case SetupPhase::runtime: return QCoreApplication::translate("SetupPhase", "准备运行环境");
    case SetupPhase::preflight: return QCoreApplication::translate("SetupPhase", "检查运行环境");
    case SetupPhase::permissions: return QCoreApplication::translate("SetupPhase", "配置系统权限");
    case SetupPhase::redeem: return QCoreApplication::translate("SetupPhase", "验证安装码");
    case SetupPhase::configure: return QCoreApplication::translate("SetupPhase", "写入安全配置");
    case SetupPhase::verify: return QCoreApplication::translate("SetupPhase", "验证安装结果");
    case SetupPhase::starting: return QCoreApplication::translate("SetupPhase", "安装并启动 Agent");
    case SetupPhase::channel: return QCoreApplication::translate("SetupPhase", "绑定 Channel");
    case SetupPhase::handshake: return QCoreApplication::translate("SetupPhase", "验证 Agent 状态");
    case SetupPhase::online: return QCoreApplication::translate("SetupPhase", "Agent 上线");
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
