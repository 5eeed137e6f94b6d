#pragma once

// The probes themselves are CLIService operations (permissionGranted, preparePermission,
// accessibilityGranted) and their script texts live with the other agent scripts; this names
// how long each operation waits for its probe.
namespace PermissionProbes {

enum class Operation { check, prepare, accessibility };

// Polls of the probe's result file, one every poll interval (0.2 s by default): 70 for a check
// (14 s), 320 while the user is being asked to grant (64 s), 50 for one accessibility client (10 s).
int pollBudget(Operation operation);

} // namespace PermissionProbes
