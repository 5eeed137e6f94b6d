#include "process/OutputReader.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Closed on exec and above the three standard descriptors, so that the child's dup2 onto its
// output and error always makes a fresh copy (dup2 of a descriptor onto itself would keep the
// close-on-exec flag) and no other child inherits it.
int privateDescriptor(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO) {
        if (fd >= 0)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

// Per notification, so that a child that writes without pause still lets the event loop (and
// the grace timer) run.
constexpr int chunksPerWakeUp = 16;

} // namespace

OutputReader::OutputReader(OutputPipeline &pipeline) : m_pipeline(pipeline), m_chunk(64 * 1024, Qt::Uninitialized)
{
    int ends[2];
#ifdef __linux__
    const int made = ::pipe2(ends, O_CLOEXEC);
#else
    const int made = ::pipe(ends);
#endif
    if (made != 0) {
        m_atEnd = true;
        return;
    }
    m_readEnd = privateDescriptor(ends[0]);
    m_writeEnd = privateDescriptor(ends[1]);
    if (m_readEnd < 0 || m_writeEnd < 0) {
        stop();
        releaseWriteEnd();
        return;
    }
    ::fcntl(m_readEnd, F_SETFL, ::fcntl(m_readEnd, F_GETFL) | O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(qintptr(m_readEnd), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &OutputReader::readAvailable);
    m_grace.setSingleShot(true);
    connect(&m_grace, &QTimer::timeout, this, [this] {
        // What is in the pipe when the grace runs out is still taken.
        readAvailable();
        stop();
    });
}

OutputReader::~OutputReader()
{
    m_notifier.reset();
    if (m_readEnd >= 0)
        ::close(m_readEnd);
    releaseWriteEnd();
}

void OutputReader::releaseWriteEnd()
{
    if (m_writeEnd >= 0)
        ::close(m_writeEnd);
    m_writeEnd = -1;
}

void OutputReader::finishWithin(std::chrono::milliseconds grace)
{
    if (m_atEnd)
        return;
    readAvailable();
    if (!m_atEnd)
        m_grace.start(grace);
}

void OutputReader::readAvailable()
{
    for (int i = 0; i < chunksPerWakeUp && !m_atEnd; ++i) {
        const ssize_t read = ::read(m_readEnd, m_chunk.data(), size_t(m_chunk.size()));
        if (read > 0) {
            m_pipeline.feed(QByteArrayView(m_chunk.constData(), qsizetype(read)));
        } else if (read < 0 && errno == EINTR) {
            continue;
        } else if (read < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            // End of output; a read error ends it the same way, with what was read so far.
            stop();
        }
    }
}

void OutputReader::stop()
{
    if (m_atEnd && m_readEnd < 0)
        return;
    m_atEnd = true;
    m_grace.stop();
    m_notifier.reset();
    if (m_readEnd >= 0)
        ::close(m_readEnd);
    m_readEnd = -1;
    Q_EMIT ended();
}
