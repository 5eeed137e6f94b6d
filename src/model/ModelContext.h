#pragma once

#include "core/Tasks.h"
#include "model/Failure.h"
#include "model/Published.h"

#include <QDateTime>
#include <QDir>
#include <QString>

#include <chrono>
#include <functional>

class AgentDaemon;
class AgentOperations;
class Attention;
class InstallJourney;

// What a controller gets from the model it belongs to: where the profile is, how to announce a
// change before it is made, the model's time, the installation's journey, what the user is asked
// to look at, the turns on the agent and its daemon, and the one way to report a failure. The
// model outlives its controllers' use of it.
struct ModelContext
{
    QString profileDirectory;
    // Announces every published write (the model's willChange()) and what it changed.
    Publication publication;
    Quorvantis::Sleeper sleeper;
    std::function<QDateTime()> clock;
    InstallJourney *journey = nullptr;
    Attention *attention = nullptr;
    AgentOperations *operations = nullptr;
    AgentDaemon *daemon = nullptr;
    // Puts the model into its error state with the mapped error (`AppModel::fail`).
    std::function<void(const Failure::Report &)> fail;

    QCoro::Task<void> sleep(std::chrono::milliseconds duration) const { return sleeper(duration); }
    QDateTime now() const { return clock(); }
    QString profileFile(const QString &name) const { return QDir(profileDirectory).filePath(name); }
};
