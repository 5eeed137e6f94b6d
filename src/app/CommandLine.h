#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The command line, read before the application object exists: "--help" and "--version" answer,
// a subcommand ("status", "doctor", ...) is handed to the command-line face, and an option or word
// that neither the application nor Qt knows is a usage error, all without a display. Qt's own
// options (-platform, -style, ...) pass through to Qt.
namespace CommandLine {

struct Answer
{
    int exitCode = 0;
    QString out; // for standard output
    QString err; // for standard error
};

// What the command-line face does; `show` and `quit` need the running instance.
enum class Subcommand { status, doctor, restart, recheck, update, exportDiagnostics, show, quit, language };

struct Request
{
    Subcommand command = Subcommand::status;
    bool json = false;         // status --json
    std::optional<QString> path; // export-diagnostics [PATH], as given
    std::optional<QString> resources; // --resources DIR
    std::optional<QString> language; // language [zh_CN|en|system]: a language, or "system"
};

// "status", "export-diagnostics", ...; every subcommand in the order the help lists them.
QString name(Subcommand command);
std::optional<Subcommand> subcommandNamed(const QString &word);
const QList<Subcommand> &subcommands();

// The answer to a command line given as the program's arguments (the program name first): an
// answer to print, or a subcommand to run, or neither when the window is to start. `version`
// and `components` fill the help and version texts.
struct Parsed
{
    std::optional<Answer> answer;
    std::optional<Request> request;
};
Parsed parse(const QStringList &arguments, const QString &version, const QStringList &components);

// parse() without the subcommand: the answer, absent when something is to start.
std::optional<Answer> check(const QStringList &arguments, const QString &version, const QStringList &components);

// parse() for the process: prints an answer and gives its exit code, or gives the subcommand to
// run; neither: start the window.
struct BeforeStart
{
    std::optional<int> exitCode;
    std::optional<Request> request;
};
BeforeStart readBeforeStart(int argc, char **argv);

} // namespace CommandLine
