// The install log and the redaction every output line passes before it is shown or logged.

#include "process/AgentContract.h"
#include "process/CLIService.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTextBoundaryFinder>

namespace {

constexpr qint64 rotationThreshold = 2'097'152;
constexpr qsizetype errorLineLength = 240;

// Searched for in the lower-cased line, in this order.
constexpr QLatin1StringView asciiErrorMarkers[] = {
    QLatin1StringView("error"),
    QLatin1StringView("failed"),
    QLatin1StringView("failure"),
    QLatin1StringView("fatal"),
    QLatin1StringView("denied"),
    QLatin1StringView("not found"),
    QLatin1StringView("unavailable"),
    QLatin1StringView("invalid"),
    QLatin1StringView("timed out"),
    QLatin1StringView("client_upgrade_required"),
    QLatin1StringView("code_unavailable"),
    QLatin1StringView("enrollment_unavailable"),
    QLatin1StringView("agent_name_reserved"),
    QLatin1StringView("agent_name_too_short"),
    QLatin1StringView("already exists"),
    QLatin1StringView("exit code"),
};

const QStringView chineseErrorMarkers[] = {u"失败", u"无法", u"未完成", u"不完整", u"不可用", u"无效", u"超时"};

constexpr auto unicode = QRegularExpression::UseUnicodePropertiesOption;

// Lower-cases ASCII letters only: none of the markers can arise from lower-casing anything else.
QStringView asciiLowered(const QString &text)
{
    thread_local QString scratch;
    scratch.resize(text.size());
    const QChar *in = text.constData();
    QChar *out = scratch.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = in[i].unicode();
        out[i] = QChar(c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c);
    }
    return QStringView(scratch.constData(), text.size());
}

bool containsErrorMarker(const QString &text)
{
    const QStringView lowered = asciiLowered(text);
    for (const QLatin1StringView marker : asciiErrorMarkers) {
        if (lowered.contains(marker))
            return true;
    }
    for (const QStringView marker : chineseErrorMarkers) {
        if (text.contains(marker))
            return true;
    }
    return false;
}

QString firstCharacters(const QString &text, qsizetype count)
{
    // A user-perceived character spans at least one UTF-16 unit.
    if (text.size() <= count)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.left(end);
}

void replaceAll(QString &text, const QRegularExpression &pattern, const QString &replacement)
{
    text.replace(pattern, replacement);
}

} // namespace

QString CLIService::logsDirectory()
{
    static const QString directory = QDir::home().filePath(AgentContract::logsDirectory());
    return directory;
}

QString CLIService::installLog()
{
    static const QString location = QDir(logsDirectory()).filePath(AgentContract::installLogName());
    return location;
}

QString CLIService::ensureLogsDirectory()
{
    QDir().mkpath(logsDirectory());
    return logsDirectory();
}

std::unique_ptr<QFile> CLIService::openLog(const QString &location)
{
    const QFileInfo info(location);
    QDir().mkpath(info.absolutePath());
    if (info.exists() && info.size() > rotationThreshold) {
        // One previous generation is kept.
        const QString rotated = location + QStringLiteral(".previous");
        QFile::remove(rotated);
        QFile::rename(location, rotated);
    }
    auto file = std::make_unique<QFile>(location);
    // The permissions apply only when the file is created here.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return nullptr;
    return file;
}

void CLIService::writeLog(const QString &text, QFile *handle)
{
    if (!handle)
        return;
    // One reusable buffer: the log sees every output line, so nothing is allocated per line.
    thread_local QByteArray scratch;
    QStringEncoder encoder(QStringEncoder::Utf8);
    const qsizetype required = encoder.requiredSpace(text.size()) + 1;
    if (scratch.size() < required)
        scratch.resize(required);
    char *end = encoder.appendToBuffer(scratch.data(), text);
    *end++ = '\n';
    handle->write(scratch.constData(), end - scratch.constData());
}

QString CLIService::sanitize(const QString &line)
{
    static const QRegularExpression escapes(QStringLiteral("\\x{1B}\\[[0-?]*[ -/]*[@-~]"));
    static const QRegularExpression email(QStringLiteral("(?i)(Email:\\s*)\\S+"), unicode);
    // A password may contain spaces (the workspace account's does), so everything after the
    // label goes, not only the first word.
    static const QRegularExpression password(QStringLiteral("(?i)(Password:\\s*)\\S.*"), unicode);
    static const QRegularExpression url(QStringLiteral("https?://\\S+"), unicode);
    static const QRegularExpression setupCode(
        QStringLiteral("(?i)\\b(?:QVS2|QVI1)-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}\\b"),
        unicode);
    // A JSON line that names credentials but was not a valid authorization event still must not
    // carry them into the log.
    static const QRegularExpression jsonCredential(
        QStringLiteral("(?i)(\"(?:email|password)\"\\s*:\\s*)\"(?:[^\"\\\\]|\\\\.)*\""), unicode);

    QString text = line;
    // Plain-text checks first: most lines need none of the patterns.
    if (text.contains(QChar(0x1B)))
        replaceAll(text, escapes, QString());
    if (text.contains(QLatin1Char(':'))) {
        if (text.contains(QLatin1String("mail:"), Qt::CaseInsensitive))
            replaceAll(text, email, QStringLiteral("\\1[REDACTED]"));
        if (text.contains(QLatin1String("ssword:"), Qt::CaseInsensitive))
            replaceAll(text, password, QStringLiteral("\\1[REDACTED]"));
        if (text.contains(QLatin1String("http")))
            replaceAll(text, url, QStringLiteral("[URL REDACTED]"));
    }
    if (text.contains(QLatin1String("qv"), Qt::CaseInsensitive))
        replaceAll(text, setupCode, QStringLiteral("[SETUP CODE REDACTED]"));
    if (text.contains(QLatin1String("\"email\""), Qt::CaseInsensitive)
        || text.contains(QLatin1String("\"password\""), Qt::CaseInsensitive))
        replaceAll(text, jsonCredential, QStringLiteral("\\1\"[REDACTED]\""));
    return text;
}

std::optional<QString> CLIService::errorCandidate(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('{')))
        return std::nullopt;
    if (!containsErrorMarker(trimmed))
        return std::nullopt;
    return firstCharacters(trimmed, errorLineLength);
}
