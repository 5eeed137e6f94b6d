// The install log and the redaction every output line passes before it is shown or logged.

#include "core/PrivateFiles.h"
#include "process/AgentContract.h"
#include "process/InstallLog.h"
#include "process/PlainTextScan.h"
#include "process/Redaction.h"

#include <QDir>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr qint64 rotationThreshold = 2'097'152;
constexpr qsizetype errorLineLength = 240;

const QStringView chineseErrorMarkers[] = {u"失败", u"无法", u"未完成", u"不完整", u"不可用", u"无效", u"超时"};

// The redaction needles (bits 0-6), then the error markers, found in one pass over the folded line.
const NeedleSet &lineNeedles()
{
    static const NeedleSet needles = [] {
        std::vector<std::string_view> all(Redaction::needles.begin(), Redaction::needles.end());
        for (const std::string_view marker :
             {"error", "failed", "failure", "fatal", "denied", "not found", "unavailable", "invalid", "timed out",
              "client_upgrade_required", "code_unavailable", "enrollment_unavailable", "agent_name_reserved",
              "agent_name_too_short", "already exists", "exit code"})
            all.push_back(marker);
        return NeedleSet(std::move(all));
    }();
    return needles;
}

constexpr std::uint32_t redactionNeedles = Redaction::needleBits;

bool containsChineseErrorMarker(const QString &text, const FoldedText &folded)
{
    if (!folded.hasNonAscii())
        return false;
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

} // namespace

namespace InstallLog {

QString logsDirectory()
{
    static const QString directory = QDir::home().filePath(AgentContract::logsDirectory());
    return directory;
}

QString installLog()
{
    static const QString location = QDir(logsDirectory()).filePath(AgentContract::installLogName());
    return location;
}

QString ensureLogsDirectory()
{
    Quorvantis::makePrivatePath(logsDirectory());
    return logsDirectory();
}

std::unique_ptr<QFile> openLog(const QString &location)
{
    const QFileInfo info(location);
    Quorvantis::makePrivatePath(info.absolutePath());
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

void writeLog(const QString &text, QFile *handle)
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

} // namespace InstallLog

namespace {

std::optional<QString> candidate(const QString &text, std::uint32_t found, const FoldedText &folded)
{
    if (!(found & ~redactionNeedles) && !containsChineseErrorMarker(text, folded))
        return std::nullopt;
    // Markers hold no blanks at their ends, so trimming cannot change whether one occurs.
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('{')))
        return std::nullopt;
    return firstCharacters(trimmed, errorLineLength);
}

} // namespace

namespace InstallLog {

QString sanitize(const QString &line)
{
    return Redaction::redact(line);
}

std::optional<QString> errorCandidate(const QString &line)
{
    const FoldedText folded(line);
    return candidate(line, lineNeedles().find(folded.bytes()) & ~redactionNeedles, folded);
}

CleanedLine clean(const QString &line, const QStringList &secrets)
{
    // The common line needs no redaction: then one fold and one scan serve both questions. A
    // redacted line is scanned once more, since a marker may have gone with what was masked.
    // (Only an escape sequence can split a secret, and a line with escapes is always redacted.)
    {
        const FoldedText folded(line);
        const std::uint32_t found = lineNeedles().find(folded.bytes());
        const auto holds = [&line](const QString &secret) { return !secret.isEmpty() && line.contains(secret); };
        if (!(found & redactionNeedles) && !folded.contains('\x1b') && std::none_of(secrets.cbegin(), secrets.cend(), holds))
            return {line, candidate(line, found, folded)};
    }
    QString text = Redaction::redact(line, secrets);
    std::optional<QString> error = errorCandidate(text);
    return {std::move(text), std::move(error)};
}

} // namespace InstallLog
