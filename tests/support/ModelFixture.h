#pragma once

#include "app/AppModel.h"
#include "support/ControllerHarness.h"
#include "support/ModelAccess.h"


#include <memory>

// A model on virtual time in a temporary profile directory, with every effect scripted to do
// nothing real. The process runs, the agent's start check and the authorization page are
// scripts a test fills in; any other effect a test replaces in `effects` before `make()`.
class ModelFixture : public TemporaryProfile
{
public:
    // Failing: the setup runs fail and the agent never answers (nothing happens by accident).
    // Succeeding: every run succeeds, the agent answers at once and an enrolment key is bundled.
    enum Defaults { Failing, Succeeding };
    explicit ModelFixture(Defaults defaults = Failing);

    // Builds the model (replacing any earlier one) with the current effects.
    AppModel &make(bool autoResume = false);
    // The same, on a profile whose persisted install stage is `stage` (none when empty);
    // `configured` leaves the tool's "config.json".
    AppModel &makeAt(const QByteArray &stage, bool configured = false);
    AppModel &model() { return *m_model; }
    void reset() { m_model.reset(); }

    // The model's installation in one line (see describe).
    QString installation() const;

    using Run = std::shared_ptr<QuorvantisTest::ScriptedRun>;
    using Answer = std::shared_ptr<QuorvantisTest::ScriptedAnswer>;
    Run setupWithCode = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run setupEnroll = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run setupResume = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run environmentPrepare = std::make_shared<QuorvantisTest::ScriptedRun>();
    Run daemonInstall = std::make_shared<QuorvantisTest::ScriptedRun>();
    Answer agentStarted = std::make_shared<QuorvantisTest::ScriptedAnswer>();
    Answer authorizationOpen = std::make_shared<QuorvantisTest::ScriptedAnswer>();

    AppModel::Effects effects;
    std::shared_ptr<CLIService> cli; // the default runner when empty
    AppModel::LinkLoader ownerSetupLinkLoad; // none captured by default
    std::chrono::milliseconds statusTimeout{200};
    // The agent's status document; empty: the status client's request on loopback.
    std::function<QCoro::Task<AgentRuntimeStatus>()> fetchStatus;
    VirtualTime time;

private:
    std::unique_ptr<AppModel> m_model; // the last member: destroyed before the scripts and the clock it uses
};
