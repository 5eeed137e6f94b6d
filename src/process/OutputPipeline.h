#pragma once

#include "process/CLIService.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QStringList>

#include <optional>

// What happens to a child's output between the pipe and the caller: split at line feeds (a line
// keeps at most its first 262,144 bytes), decoded and trimmed, offered to the caller's
// interceptor (the workspace authorization parser), redacted, tested for errors, logged and
// handed on, strictly in output order.
// One pipeline per run.
class OutputPipeline
{
public:
    static constexpr qsizetype maximumLineBytes = 0x40000;

    // `log` may be null (the run goes on unlogged); `secrets` are texts the child was given on
    // standard input, masked wherever the child prints them back.
    OutputPipeline(QFile *log, CLIService::OutputHandler onOutput, CLIService::LineInterceptor intercept,
                   QStringList secrets = {});

    void feed(QByteArrayView bytes);
    // End of output: an unterminated last line is still delivered.
    void finish();

    const std::optional<QString> &lastErrorLine() const { return m_lastErrorLine; }
    qint64 lineCount() const { return m_lineCount; }

    // Decodes one line (invalid UTF-8 repaired) and trims it; nothing for no bytes at all.
    static std::optional<QString> decode(QByteArrayView bytes);

private:
    void deliver(QByteArrayView bytes);
    void process(const QString &line);
    void appendToLog(const QString &text);
    void flushLog();

    QFile *m_log;
    CLIService::OutputHandler m_onOutput;
    CLIService::LineInterceptor m_intercept;
    QStringList m_secrets;
    QByteArray m_buffer;
    QByteArray m_logBuffer;
    std::optional<QString> m_lastErrorLine;
    qint64 m_lineCount = 0;
};

// Relays a process's state changes through a public signal: QProcess::stateChanged carries a
// private-signal tag that cannot be awaited safely.
class ProcessStateRelay : public QObject
{
    Q_OBJECT

public:
    explicit ProcessStateRelay(QProcess *process)
    {
        connect(process, &QProcess::stateChanged, this, [this](QProcess::ProcessState) { Q_EMIT changed(); });
    }

Q_SIGNALS:
    void changed();
};
