#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The agent's components a package carries, given when it is built: the session script, the
// enrolment key file (the stamp) and the onboarding service's address. A package records in its
// information dictionary ("QuorvantisPackagedComponents") which ones it was built with, so a
// missing one is told apart: never packaged (reinstalling the same package cannot help, the line
// names what the package lacks) or packaged and gone since (reinstalling helps).
namespace BundleComponents {

enum class Component { sessionScript, enrollmentKey, onboardingServiceURL };
enum class State { present, notPackaged, gone };

// The information dictionary's key and the names its list uses.
inline constexpr char16_t packagedKey[] = u"QuorvantisPackagedComponents";
QString packagedName(Component component);

struct Report
{
    Component component;
    State state;
    bool required; // the installation cannot start without it
    QString line;  // what is missing and what that means, for the command line
};

// What the bundle holds, given the recorded packaged list and what exists; `exists` answers for
// the component itself.
State stateOf(Component component, const QStringList &packaged, bool exists);

// The running application's components that are not present, in the order above.
QList<Report> missing();

// The error section's message when the installation cannot start for want of the session script
// that the package was never built with; absent when the script is there or was packaged (then
// the runner's own "reinstall" stands).
std::optional<QString> sessionScriptNeverPackaged();

// Lines for --version and --help: nothing when every component is present.
QStringList commandLineReport();

} // namespace BundleComponents
