#include "process/OutputPipeline.h"

#include "process/InstallLog.h"

#include <QLoggingCategory>
#include <QStringEncoder>

#include <cstring>
#include <type_traits>

Q_LOGGING_CATEGORY(lcOutput, "quorvantis.process.output")

namespace {

// Secrets shorter than this are too likely to occur in ordinary output by chance.
constexpr qsizetype minimumSecretLength = 8;

// The callbacks run inside the process's read notification: nothing may escape into the event
// loop. A callback that fails counts as not having taken the line.
template <typename Callback>
bool callSafely(const Callback &callback, const QString &line, const char *what)
{
    if (!callback)
        return false;
    try {
        if constexpr (std::is_same_v<decltype(callback(line)), bool>)
            return callback(line);
        else
            callback(line);
    } catch (const std::exception &error) {
        qCWarning(lcOutput) << what << "callback failed:" << error.what();
    } catch (...) {
        qCWarning(lcOutput) << what << "callback failed";
    }
    return false;
}

} // namespace

OutputPipeline::OutputPipeline(QFile *log, CLIService::OutputHandler onOutput, CLIService::LineInterceptor intercept,
                               QStringList secrets)
    : m_log(log), m_onOutput(std::move(onOutput)), m_intercept(std::move(intercept))
{
    for (QString &secret : secrets) {
        secret = secret.trimmed();
        if (secret.size() >= minimumSecretLength)
            m_secrets << secret;
    }
}

std::optional<QString> OutputPipeline::decode(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(bytes).trimmed();
}

void OutputPipeline::appendToLog(const QString &text)
{
    if (!m_log)
        return;
    QStringEncoder encoder(QStringEncoder::Utf8);
    const qsizetype used = m_logBuffer.size();
    m_logBuffer.resize(used + encoder.requiredSpace(text.size()) + 1);
    char *end = encoder.appendToBuffer(m_logBuffer.data() + used, text);
    *end++ = '\n';
    m_logBuffer.resize(end - m_logBuffer.constData());
}

void OutputPipeline::flushLog()
{
    if (m_log && !m_logBuffer.isEmpty())
        m_log->write(m_logBuffer);
    // Keeps its capacity: the next chunk's lines reuse it.
    m_logBuffer.resize(0);
}

void OutputPipeline::feed(QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype remaining = bytes.size();
    while (remaining > 0) {
        const auto *feedAt = static_cast<const char *>(std::memchr(data, '\n', size_t(remaining)));
        const qsizetype length = feedAt ? feedAt - data : remaining;
        if (feedAt && m_buffer.isEmpty()) {
            // The whole line is in this chunk: no copy into the buffer.
            deliver(QByteArrayView(data, std::min(length, maximumLineBytes)));
        } else {
            const qsizetype room = maximumLineBytes - m_buffer.size();
            if (room > 0)
                m_buffer.append(data, std::min(length, room));
            if (feedAt) {
                deliver(m_buffer);
                m_buffer.resize(0);
            }
        }
        const qsizetype consumed = feedAt ? length + 1 : length;
        data += consumed;
        remaining -= consumed;
    }
    flushLog();
}

void OutputPipeline::finish()
{
    deliver(m_buffer);
    m_buffer.resize(0);
    flushLog();
}

void OutputPipeline::deliver(QByteArrayView bytes)
{
    if (const std::optional<QString> line = decode(bytes))
        process(*line);
}

void OutputPipeline::process(const QString &line)
{
    ++m_lineCount;
    if (callSafely(m_intercept, line, "interceptor"))
        return;
    // One redaction, secrets and patterns together, so that an escape sequence inside a secret
    // cannot hide it and every line has one redacted form.
    InstallLog::CleanedLine cleaned = InstallLog::clean(line, m_secrets);
    if (cleaned.errorCandidate)
        m_lastErrorLine = std::move(cleaned.errorCandidate);
    // Lines of one chunk go to the log in one write, in order, before the chunk is done.
    appendToLog(cleaned.text);
    callSafely(m_onOutput, cleaned.text, "output");
}
