// Placeholder definitions; the permission onboarding flow replaces them.
#include "app/AppModel.h"

QCoro::Task<void> AppModel::continuePermissionOnboarding() { co_return; }
QCoro::Task<void> AppModel::confirmPermissionOnboarding(std::optional<PermissionKind>) { co_return; }
QCoro::Task<void> AppModel::advancePermissionOnboarding() { co_return; }
void AppModel::openCurrentPermissionSettings() {}
void AppModel::openSettings(std::optional<PermissionKind>) {}
void AppModel::schedulePermissionReturnChecks(PermissionKind) {}
QCoro::Task<void> AppModel::finishPermissionStageIfReady() { co_return; }
QCoro::Task<void> AppModel::refreshExistingPermissions() { co_return; }
void AppModel::resetPermissionVerification() {}
QString AppModel::permissionSummary() const { return {}; }
std::pair<int, int> AppModel::onboardingPermissionProgress() const { return {0, 3}; }
std::optional<AppModel::PermissionItem> AppModel::currentPermissionOnboardingItem() const { return std::nullopt; }
std::optional<PermissionKind> AppModel::currentPermissionOnboardingKind() const { return std::nullopt; }
bool AppModel::isVerifyingCurrentPermission() const { return false; }
bool AppModel::permissionNeedsUserAction() const { return false; }
QString AppModel::permissionSettingsGuidance() const { return {}; }
