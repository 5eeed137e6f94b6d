#pragma once

#include "model/ModelTypes.h"
#include "process/AgentScripts.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class CLIService;

// Whether the agent's own tools hold a privacy permission. Each probe runs the tools for real in
// a job detached from the application (a one-shot launchd job on macOS, a setsid background
// process elsewhere), and the application only learns the job's exit status through the runner.
namespace PermissionProbes {

enum class Operation { check, prepare, accessibility };

// Polls of the probe's result file, one every poll interval: 70 for a check (14 s at the default
// interval), 320 while the user is being asked to grant (64 s), 50 for one accessibility client.
int pollBudget(Operation operation);

inline constexpr std::chrono::milliseconds defaultPollInterval{200};

// Which accessibility client a probe asks about.
enum class AccessibilityClient { node, cliclick };
QString rawValue(AccessibilityClient client);

// ---- The probe scripts ------------------------------------------------------------------------

// Runs `payloadBase64` (a probe script, base64 of its UTF-8 bytes) detached from the application,
// polls its result file up to `polls` times `interval` apart and exits 0 exactly when the probe
// exited 0. On exit a still-running probe is ended and the private directory removed.
QString permissionJob(AgentScripts::Platform platform, const QString &payloadBase64, int polls,
                      std::chrono::milliseconds interval);
// The probes themselves. Exit status 0 means granted.
QString screenProbe();
QString diskProbe(AgentScripts::Platform platform);
// `clients` are the raw values "cliclick" / "node" in probe order.
QString accessibilityProbe(const QStringList &clients, bool requestPrompt);

QString permissionCommand(PermissionKind kind, bool requestPrompt);
QString accessibilityProbeCommand(const QList<AccessibilityClient> &clients, bool requestPrompt);
// The host's job wrapper around a probe script.
QString permissionJobScript(const QString &payload, int polls, std::chrono::milliseconds interval = defaultPollInterval);

// ---- Running them ------------------------------------------------------------------------------

// Each never fails: a refused or failed run reads as "not granted".
QCoro::Task<bool> permissionGranted(std::shared_ptr<CLIService> runner, PermissionKind kind,
                                    std::chrono::milliseconds interval = defaultPollInterval);
// The same probe with the longer budget used while the user is asked to grant it.
QCoro::Task<bool> preparePermission(std::shared_ptr<CLIService> runner, PermissionKind kind,
                                    std::chrono::milliseconds interval = defaultPollInterval);
// Probes the accessibility client of the step; leaves the answer in "mac-app-accessibility-probe".
QCoro::Task<bool> accessibilityGranted(std::shared_ptr<CLIService> runner, AccessibilityStep step, bool requestPrompt,
                                       std::chrono::milliseconds interval = defaultPollInterval);

} // namespace PermissionProbes
