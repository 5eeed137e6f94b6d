#include "platform/Bundle.h"

#include "BuildConfiguration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

namespace Bundle {

namespace {

QString &overriddenDirectory()
{
    static QString directory;
    return directory;
}

} // namespace

QString resourceDirectory()
{
    if (!overriddenDirectory().isEmpty())
        return overriddenDirectory();
#ifdef Q_OS_MACOS
    if (QCoreApplication::instance())
        return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources")).absolutePath();
#endif
    if (QCoreApplication::instance()) {
        // The build tree keeps the resources beside the binary; an installation keeps them in
        // the data directory next to the binary's own directory (bin/ and share/ of one prefix).
        const QString binary = QCoreApplication::applicationDirPath();
        for (const QString &candidate : {binary + QStringLiteral("/Resources"),
                                         binary + QStringLiteral("/../share/quorvantis-companion")}) {
            if (QFileInfo(candidate).isDir())
                return QDir::cleanPath(candidate);
        }
    }
    return QStringLiteral(QUORVANTIS_BUILD_RESOURCE_DIR);
}

void setResourceDirectory(const QString &directory)
{
    overriddenDirectory() = directory.isEmpty() ? QString() : QDir(directory).absolutePath();
}

std::optional<QString> resourcePath(const QString &name, const QString &extension)
{
    const QString file = extension.isEmpty() ? name : name + QLatin1Char('.') + extension;
    const QFileInfo info(QDir(resourceDirectory()).filePath(file));
    if (!info.isFile() || !info.isReadable())
        return std::nullopt;
    return info.absoluteFilePath();
}

QVariantMap infoDictionary()
{
#ifdef Q_OS_MACOS
    if (overriddenDirectory().isEmpty()) {
        // Contents/Info.plist; QSettings reads property lists natively on macOS.
        QSettings plist(QDir(resourceDirectory()).filePath(QStringLiteral("../Info.plist")), QSettings::NativeFormat);
        QVariantMap values;
        for (const QString &key : plist.allKeys())
            values.insert(key, plist.value(key));
        return values;
    }
#endif
    QFile file(QDir(resourceDirectory()).filePath(QStringLiteral("Info.json")));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return {};
    return document.object().toVariantMap();
}

std::optional<QString> infoString(const QString &key)
{
    const QVariant value = infoDictionary().value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

} // namespace Bundle
