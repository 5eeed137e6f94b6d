#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

class CLIService;

// The registry question could not be put now (the runner or the agent is busy). Nothing was
// asked; the caller asks again later.
class RegistryLookupDeferred : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Which registry the update probe asks. A packager's setting (the bundle key or the build option)
// wins. Without one it is the registry the private runtime's package manager installs from, as
// that package manager reports it: its npmrc, where a user or an administrator may have set a
// mirror, else its own default. So the offered update is one the update script can install, and
// no registry address is built into the application.
class RegistryLocator
{
public:
    // Asks the package manager: what it printed, or nullopt when it could not answer (no prepared
    // runtime, a failed run). Throws RegistryLookupDeferred when it cannot ask now.
    using Ask = std::function<QCoro::Task<std::optional<QString>>()>;

    RegistryLocator(std::function<QString()> configured, Ask ask);

    // The registry base address to ask; empty when there is none. The package manager's answer is
    // kept for the rest of the launch once it named a registry; when it named none it is asked
    // again at the next call. Throws RegistryLookupDeferred as Ask does. The locator must outlive the call.
    QCoro::Task<QString> registry();

    // The registry in what the package manager printed: its last non-blank line, unless that is
    // the word pnpm prints for a key without a value.
    static std::optional<QString> fromAnswer(const QString &printed);

    // The default Ask: the runtime's pnpm through the one runner, with the runtime's environment
    // ("config get registry"). Deferred while the runner is busy.
    static QCoro::Task<std::optional<QString>> askRuntimePackageManager(std::shared_ptr<CLIService> cli);

private:
    std::function<QString()> m_configured;
    Ask m_ask;
    std::optional<QString> m_answered;
};
