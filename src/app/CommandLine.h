#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The command line, read before the application object exists: "--help" and "--version" answer,
// and an option that neither the application nor Qt knows is a usage error, all without a
// display. Qt's own options (-platform, -style, ...) pass through to Qt.
namespace CommandLine {

struct Answer
{
    int exitCode = 0;
    QString out; // for standard output
    QString err; // for standard error
};

// The answer to a command line given as the program's arguments (the program name first); absent
// when the application is to start. `version` and `components` fill the help and version texts.
std::optional<Answer> check(const QStringList &arguments, const QString &version, const QStringList &components);

// check() for the process: prints the answer and gives its exit code; absent to start.
std::optional<int> answerBeforeStart(int argc, char **argv);

} // namespace CommandLine
