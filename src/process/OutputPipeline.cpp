#include "process/OutputPipeline.h"

#include "process/Redaction.h"

#include <QLoggingCategory>
#include <QStringEncoder>

#include <cstring>

Q_LOGGING_CATEGORY(lcOutput, "quorvantis.process.output")

namespace {

// Secrets shorter than this are too likely to occur in ordinary output by chance.
constexpr qsizetype minimumSecretLength = 8;

template <typename Callback, typename Argument>
void callSafely(const Callback &callback, const Argument &argument, const char *what)
{
    if (!callback)
        return;
    // The callback runs inside the process's read notification: nothing may escape into the
    // event loop.
    try {
        callback(argument);
    } catch (const std::exception &error) {
        qCWarning(lcOutput) << what << "callback failed:" << error.what();
    } catch (...) {
        qCWarning(lcOutput) << what << "callback failed";
    }
}

} // namespace

OutputPipeline::OutputPipeline(QFile *log, CLIService::OutputHandler onOutput,
                               CLIService::AuthorizationHandler onAuthorization, QStringList secrets)
    : m_log(log), m_onOutput(std::move(onOutput)), m_onAuthorization(std::move(onAuthorization))
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

QString OutputPipeline::maskSecrets(QString text) const
{
    // Together with the patterns, so that an escape sequence inside a secret cannot hide it; what
    // comes out is already redacted, and redacting it again changes nothing.
    return Redaction::redact(text, m_secrets);
}

void OutputPipeline::process(const QString &line)
{
    ++m_lineCount;
    if (const std::optional<JITWorkspaceAuthorization> authorization = m_parser.consume(line)) {
        callSafely(m_onAuthorization, *authorization, "authorization");
        return;
    }
    CLIService::CleanedLine cleaned = CLIService::clean(m_secrets.isEmpty() ? line : maskSecrets(line));
    if (cleaned.errorCandidate)
        m_lastErrorLine = std::move(cleaned.errorCandidate);
    // Lines of one chunk go to the log in one write, in order, before the chunk is done.
    appendToLog(cleaned.text);
    callSafely(m_onOutput, cleaned.text, "output");
}
