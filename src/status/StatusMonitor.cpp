// Placeholder definitions; status monitoring replaces them.
#include "app/AppModel.h"

void AppModel::startStatusMonitoring() {}
QCoro::Task<void> AppModel::refreshAgentStatus() { co_return; }
AppModel::RuntimePresentation AppModel::runtimePresentation(const AgentRuntimeStatus &, const std::optional<AgentRuntimeStatus> &)
{
    return {};
}
QString AppModel::headlineStatusTitle() const { return {}; }
QString AppModel::headlineStatusDetail() const { return {}; }
QString AppModel::agentProcessDescription() const { return {}; }
QString AppModel::heartbeatDescription(const QDateTime &) const { return {}; }
