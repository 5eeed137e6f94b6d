#pragma once

#include <QString>

namespace Quorvantis {

// Creates a directory and its missing parents for the current user alone (0700), whatever the
// umask: the profile the application shares with the agent holds the agent's key and tokens.
// Directories that exist are left as they are. True when the directory exists afterwards.
bool makePrivatePath(const QString &path);

} // namespace Quorvantis
