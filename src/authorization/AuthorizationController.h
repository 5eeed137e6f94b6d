#pragma once

#include "model/Effects.h"
#include "model/ModelContext.h"
#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QObject>

#include <functional>
#include <optional>

// A just-in-time workspace authorization: the record a setup run yields is shown until the run
// ends, and its page is opened on the user's request.
class AuthorizationController : public QObject
{
    Q_OBJECT

public:
    struct Effects
    {
        decltype(ModelEffects::setupAuthorizationOpen) setupAuthorizationOpen;
    };

    AuthorizationController(ModelContext context, Effects effects, QObject *parent = nullptr);

    const std::optional<JITWorkspaceAuthorization> &setupAuthorization() const { return m_setupAuthorization(); }
    bool isOpeningSetupAuthorization() const { return m_isOpeningSetupAuthorization(); }
    bool setupAuthorizationOpenFailed() const { return m_setupAuthorizationOpenFailed(); }

    // The callback of one setup run: what a superseded run reports (`isCurrent` false) must not
    // put its credentials in front of the run that replaced it.
    AuthorizationHandler handlerFor(std::function<bool()> isCurrent);
    // A new run starts with nothing shown; a finished or failed one takes its record away.
    void beginRun();
    void clear();
    QCoro::Task<void> openSetupAuthorization();

private:
    ModelContext m_context;
    Effects m_effects;
    Published<std::optional<JITWorkspaceAuthorization>> m_setupAuthorization;
    Published<bool> m_isOpeningSetupAuthorization;
    Published<bool> m_setupAuthorizationOpenFailed;
};
