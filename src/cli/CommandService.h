#pragma once

#include "app/CommandLine.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QPointer>

#include <functional>
#include <optional>

class AppModel;
class QDateTime;
struct StatusReport;

// The command line's subcommands run on one model: the running instance's, which gets them over
// the single-instance channel, or the one a subcommand without an instance starts for itself.
// Actions on the agent obey the window's rule: refused with its reason while another runs.
class CommandService
{
public:
    // What the instance's window does for `show` and `quit`; empty without a window.
    struct Window
    {
        std::function<void()> show;
        std::function<void()> quit;
    };

    explicit CommandService(AppModel &model, Window window = {});

    QCoro::Task<CommandLine::Answer> run(CommandLine::Request request);
    // One request line of the channel and its answer line.
    void handle(const QByteArray &request, std::function<void(QByteArray answer)> reply);

    // `language`: shows the interface's language, or keeps the choice in the profile (read at
    // the next start); needs no instance.
    static CommandLine::Answer languageAnswer(const QString &profileDirectory, const std::optional<QString> &choice);

    // What `status` prints, as JSON or as text.
    static CommandLine::Answer statusAnswer(const StatusReport &report, bool json, const QDateTime &now);

    // The channel's lines: one JSON object each, with the protocol's version.
    static QByteArray encode(const CommandLine::Request &request);
    static std::optional<CommandLine::Request> decodeRequest(const QByteArray &line);
    static QByteArray encode(const CommandLine::Answer &answer);
    static std::optional<CommandLine::Answer> decodeAnswer(const QByteArray &line);

private:
    QCoro::Task<CommandLine::Answer> act(CommandLine::Subcommand command);

    QPointer<AppModel> m_model;
    Window m_window;
};

// The command line's entry for a subcommand: to the running instance when there is one, else
// on the profile (status, doctor) or on a model of its own without a window (the actions).
namespace CommandLineFace {
int run(int argc, char **argv, CommandLine::Request request);
}
