#include "model/ProfileMarkers.h"

#include "core/PrivateFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>

#include <cerrno>
#include <csignal>

namespace ProfileMarkers {

namespace {

// Marker files are a few bytes; anything bigger is not ours and reads as absent.
constexpr qint64 markerSizeLimit = 64 * 1024;

std::optional<QString> readMarker(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > markerSizeLimit)
        return std::nullopt;
    const QByteArray bytes = file.read(markerSizeLimit + 1);
    if (bytes.size() > markerSizeLimit)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

template <typename E>
std::optional<E> readRawValueMarker(const QString &path)
{
    const auto text = readMarker(path);
    return text ? fromRawValue<E>(text->trimmed()) : std::nullopt;
}

// Writes atomically, restricted to the owner already before it replaces the old file (a kill
// between the two must not leave it with the umask's permissions) and again after; every failure
// is dropped silently.
void writeMarker(const QString &path, const QString &text)
{
    constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.setPermissions(ownerOnly);
    file.write(text.toUtf8());
    if (file.commit())
        QFile::setPermissions(path, ownerOnly);
}

// Writes the value, or removes the file for no value.
void writeOrRemove(const QString &path, const QString &text)
{
    if (text.isEmpty())
        QFile::remove(path);
    else
        writeMarker(path, text);
}

QString in(const QString &directory, const QString &name)
{
    return QDir(directory).filePath(name);
}

} // namespace

std::optional<InstallStage> readInstallStage(const QString &directory)
{
    return readRawValueMarker<InstallStage>(in(directory, installStageFile));
}

QSet<PermissionKind> readCompletedPermissions(const QString &directory)
{
    QSet<PermissionKind> kinds;
    const auto text = readMarker(in(directory, completedPermissionsFile));
    if (!text)
        return kinds;
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"), QRegularExpression::UseUnicodePropertiesOption);
    for (const QString &piece : text->split(whiteSpace, Qt::SkipEmptyParts)) {
        if (const auto kind = fromRawValue<PermissionKind>(piece))
            kinds.insert(*kind);
    }
    return kinds;
}

std::optional<PermissionKind> readAwaitingPermission(const QString &directory)
{
    return readRawValueMarker<PermissionKind>(in(directory, awaitingPermissionFile));
}

std::optional<AccessibilityProbeOutcome> readAccessibilityProbeOutcome(const QString &directory)
{
    return readRawValueMarker<AccessibilityProbeOutcome>(in(directory, accessibilityProbeFile));
}

void writeInstallStage(const QString &directory, std::optional<InstallStage> stage)
{
    Quorvantis::makePrivatePath(directory);
    writeOrRemove(in(directory, installStageFile), stage ? rawValue(*stage) + u'\n' : QString());
}

void writeCompletedPermissions(const QString &directory, const QSet<PermissionKind> &kinds)
{
    Quorvantis::makePrivatePath(directory);
    QString text;
    for (const PermissionKind kind : allCases<PermissionKind>()) {
        if (kinds.contains(kind))
            text += rawValue(kind) + u'\n';
    }
    writeOrRemove(in(directory, completedPermissionsFile), text);
}

void writeAwaitingPermission(const QString &directory, std::optional<PermissionKind> kind)
{
    writeOrRemove(in(directory, awaitingPermissionFile), kind ? rawValue(*kind) + u'\n' : QString());
}

bool readNotificationsEnabled(const QString &directory)
{
    const auto text = readMarker(in(directory, notificationsFile));
    return !text || text->trimmed() != u"off";
}

void writeNotificationsEnabled(const QString &directory, bool enabled)
{
    if (!enabled)
        Quorvantis::makePrivatePath(directory);
    writeOrRemove(in(directory, notificationsFile), enabled ? QString() : QStringLiteral("off\n"));
}

std::optional<QString> readLanguage(const QString &directory)
{
    static const QRegularExpression localeName(QStringLiteral("\\A[A-Za-z]{2,3}(?:[_-][A-Za-z0-9]{2,8}){0,3}\\z"));
    const auto text = readMarker(in(directory, languageFile));
    if (!text)
        return std::nullopt;
    const QString name = text->trimmed();
    return localeName.match(name).hasMatch() ? std::optional<QString>(name) : std::nullopt;
}

void writeLanguage(const QString &directory, const std::optional<QString> &language)
{
    if (language)
        Quorvantis::makePrivatePath(directory);
    writeOrRemove(in(directory, languageFile), language ? *language + u'\n' : QString());
}

void removeStaleTemporaries(const QString &directory)
{
    const QStringList markers{installStageFile, completedPermissionsFile, awaitingPermissionFile,
                              accessibilityProbeFile, notificationsFile, languageFile};
    const QString names = markers.join(u'|');
    static const QRegularExpression jobTemporary(QStringLiteral("\\A\\.(?:%1)\\.([0-9]{1,9})\\z").arg(names));
    static const QRegularExpression saveFile(QStringLiteral("\\A(?:%1)\\.[A-Za-z0-9]{6}\\z").arg(names));
    const QDateTime aMinuteAgo = QDateTime::currentDateTime().addSecs(-60);
    const QDir profile(directory);
    for (const QFileInfo &file : profile.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QString name = file.fileName();
        bool stale = false;
        if (const auto match = jobTemporary.match(name); match.hasMatch()) {
            const pid_t owner = pid_t(match.captured(1).toLong());
            stale = owner <= 0 || (::kill(owner, 0) == -1 && errno == ESRCH);
        } else if (saveFile.match(name).hasMatch()) {
            stale = file.lastModified() < aMinuteAgo;
        }
        if (stale)
            QFile::remove(file.filePath());
    }
}

} // namespace ProfileMarkers
