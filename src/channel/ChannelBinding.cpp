// Placeholder definitions; the channel binding flow replaces them.
#include "app/AppModel.h"

QCoro::Task<void> AppModel::enterChannelStage() { co_return; }
QCoro::Task<void> AppModel::refreshOwnerSetup(bool) { co_return; }
QCoro::Task<void> AppModel::openOwnerSetup() { co_return; }
void AppModel::copyOwnerSetupLink() {}
QCoro::Task<void> AppModel::noteChannelBindingSessionAppeared(std::chrono::milliseconds) { co_return; }
bool AppModel::canOpenOwnerSetup() const { return false; }
bool AppModel::ownerSetupOpenedByAgent() const { return false; }
QString AppModel::ownerSetupOpenButtonTitle() const { return {}; }
QString AppModel::channelBindingSummary() const { return {}; }
