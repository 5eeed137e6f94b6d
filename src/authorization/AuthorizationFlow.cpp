// The model side of a just-in-time workspace authorization: the record a setup run yields is
// shown until the run ends, and its page is opened on the user's request.
#include "app/AppModel.h"

AppModel::AuthorizationHandler AppModel::setupAuthorizationHandler()
{
    // Bound to the run current when the handler is made: a superseded run must not put its
    // credentials in front of the run that replaced it.
    return [self = QPointer<AppModel>(this), taskID = setupTaskID](const JITWorkspaceAuthorization &authorization) {
        if (!self || self->setupTaskID != taskID)
            return;
        self->setupAuthorization = authorization;
        self->setupAuthorizationOpenFailed = false;
    };
}

QCoro::Task<void> AppModel::openSetupAuthorization()
{
    QPointer<AppModel> self(this);
    if (!setupAuthorization() || isOpeningSetupAuthorization())
        co_return;

    isOpeningSetupAuthorization = true;
    setupAuthorizationOpenFailed = false;
    const QUrl url = setupAuthorization()->authURL;

    bool opened = false;
    try {
        opened = co_await effects.setupAuthorizationOpen(url);
    } catch (...) {
        opened = false; // the page did not open; the user may press again
    }
    if (!self)
        co_return;

    isOpeningSetupAuthorization = false;
    setupAuthorizationOpenFailed = !opened;
}
