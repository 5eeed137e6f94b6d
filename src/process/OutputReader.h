#pragma once

#include "process/OutputPipeline.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <memory>

// Reads a child's merged output from a pipe of its own into a pipeline. QProcess closes its
// output pipe as soon as the child exits, so what a background grandchild prints afterwards
// would be lost; this pipe stays open until end of output, or until the grace the runner gives
// after the child's exit runs out (a daemon that keeps the pipe open cannot hold the run).
class OutputReader : public QObject
{
    Q_OBJECT

public:
    // Opens the pipe; until `releaseWriteEnd`, `isOpen` tells whether that worked.
    explicit OutputReader(OutputPipeline &pipeline);
    ~OutputReader() override;

    bool isOpen() const { return m_writeEnd >= 0; }
    // The end the child writes to (as its standard output and standard error); the reader's
    // copy is closed with `releaseWriteEnd` once the child has it, so that end of output comes
    // when the child and whatever inherited the pipe from it have closed theirs.
    int writeEnd() const { return m_writeEnd; }
    void releaseWriteEnd();

    bool atEnd() const { return m_atEnd; }
    // Stops reading at end of output or after `grace`, whichever comes first; `ended` follows.
    void finishWithin(std::chrono::milliseconds grace);

Q_SIGNALS:
    void ended();

private:
    void readAvailable();
    void stop();

    OutputPipeline &m_pipeline;
    int m_readEnd = -1;
    int m_writeEnd = -1;
    bool m_atEnd = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_grace;
    QByteArray m_chunk;
};
