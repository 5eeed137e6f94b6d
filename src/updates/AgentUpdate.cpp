// Placeholder definitions; the update and recovery actions replace them.
#include "app/AppModel.h"

QCoro::Task<void> AppModel::checkAgentUpdate(std::optional<QString>) { co_return; }
QCoro::Task<void> AppModel::updateAgent() { co_return; }
QCoro::Task<bool> AppModel::runCLIAction(QString, QString) { co_return false; }
QCoro::Task<void> AppModel::perform(RecoveryAction) { co_return; }
bool AppModel::showsAgentUpdateBanner() const { return false; }
QString AppModel::agentUpdateBannerText() const { return {}; }
void AppModel::dismissAgentUpdate() {}
