#pragma once

#include "app/CommandLine.h"
#include "model/ModelTypes.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>

#include <optional>

// `doctor`: what the application depends on, checked in order, one line each with its verdict
// and, when it fails, what fixes it.
namespace Doctor {

struct Check
{
    QString name;
    bool passed = false;
    QString detail; // what was found
    QString fix;    // what to do, when it failed
};

struct Inputs
{
    QString home;
    QString profileDirectory;
    // The running instance's permissions; absent: as the profile last recorded them.
    std::optional<QList<PermissionItem>> permissions;
};

QCoro::Task<QList<Check>> run(Inputs inputs);

// The lines to print; exit status 0 when every check passed, 1 otherwise.
CommandLine::Answer answer(const QList<Check> &checks);

// Below this much free space the runtime cannot be prepared or updated.
inline constexpr qint64 neededDiskBytes = 512LL * 1024 * 1024;

} // namespace Doctor
