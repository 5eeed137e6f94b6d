#include "authorization/AuthorizationController.h"

#include "model/InFlight.h"

#include <QPointer>

AuthorizationController::AuthorizationController(ModelContext context, Effects effects, QObject *parent)
    : QObject(parent),
      m_context(std::move(context)),
      m_effects(std::move(effects)),
      m_setupAuthorization(m_context.publication, ModelChange::authorization),
      m_isOpeningSetupAuthorization(m_context.publication, ModelChange::authorization, false),
      m_setupAuthorizationOpenFailed(m_context.publication, ModelChange::authorization, false)
{
}

AuthorizationHandler AuthorizationController::handlerFor(std::function<bool()> isCurrent)
{
    return [self = QPointer<AuthorizationController>(this), isCurrent = std::move(isCurrent)](
               const JITWorkspaceAuthorization &authorization) {
        if (!self || !isCurrent())
            return;
        self->m_setupAuthorization = authorization;
        self->m_setupAuthorizationOpenFailed = false;
    };
}

void AuthorizationController::beginRun()
{
    m_setupAuthorization = std::nullopt;
    m_setupAuthorizationOpenFailed = false;
}

void AuthorizationController::clear()
{
    m_setupAuthorization = std::nullopt;
}

QCoro::Task<void> AuthorizationController::openSetupAuthorization()
{
    QPointer<AuthorizationController> self(this);
    if (!setupAuthorization() || isOpeningSetupAuthorization())
        co_return;

    InFlight opening(this, m_isOpeningSetupAuthorization);
    m_setupAuthorizationOpenFailed = false;
    const QUrl url = setupAuthorization()->authURL;

    bool opened = false;
    try {
        opened = co_await m_effects.setupAuthorizationOpen(url);
    } catch (...) {
        opened = false; // the page did not open; the user may press again
    }
    if (!self)
        co_return;
    opening.release();
    m_setupAuthorizationOpenFailed = !opened;
}
