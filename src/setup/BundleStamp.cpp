#include "setup/BundleStamp.h"

#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>

namespace BundleStamp {

namespace {

constexpr std::array<std::uint8_t, 32> keyTable = {
    0xc1, 0xd9, 0xa3, 0x14, 0x90, 0xd9, 0xe2, 0x33, 0xae, 0xf2, 0xd6, 0xde, 0x5d, 0x95, 0xdb, 0xa3,
    0x37, 0x43, 0x80, 0xb1, 0x6d, 0x7a, 0xba, 0xe2, 0xec, 0xcb, 0x27, 0x1a, 0x11, 0xee, 0x6f, 0x70,
};

// A stamp holds one key; anything much larger is not one of ours and is not read into memory.
constexpr qint64 maximumStampBytes = 64 * 1024;

const QString resourceName = QStringLiteral("stamp");

// The same operation scrambles and unscrambles.
QByteArray scramble(QByteArrayView bytes)
{
    QByteArray out(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto position = std::uint8_t(i % 256);
        out[i] = char(std::uint8_t(bytes[i]) ^ position ^ keyTable[std::size_t(i % 32)]);
    }
    return out;
}

QByteArrayView magicBytes()
{
    return QByteArrayView(reinterpret_cast<const char *>(magic.data()), qsizetype(magic.size()));
}

QString standardized(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

std::optional<QString> resourceLookup(const Location &bundle, const QString &name, const QString &extension)
{
    if (bundle.resourceDirectory.isEmpty())
        return std::nullopt;
    const QString file = extension.isEmpty() ? name : name + QLatin1Char('.') + extension;
    const QFileInfo info(QDir(bundle.resourceDirectory).filePath(file));
    if (!info.exists())
        return std::nullopt;
    return info.absoluteFilePath();
}

} // namespace

Location mainBundle()
{
    Location location;
    location.resourceDirectory = Bundle::resourceDirectory();
#ifdef Q_OS_MACOS
    location.bundleDirectory = QDir(location.resourceDirectory + QStringLiteral("/../..")).absolutePath();
#else
    if (QCoreApplication::instance())
        location.bundleDirectory = QCoreApplication::applicationDirPath();
#endif
    return location;
}

QStringList resourceURLs(const Location &bundle)
{
    QStringList candidates;
    QSet<QString> seen;
    const auto add = [&](const std::optional<QString> &path) {
        if (!path || path->isEmpty())
            return;
        const QString clean = standardized(*path);
        if (seen.contains(clean))
            return;
        seen.insert(clean);
        candidates.append(clean);
    };
    if (!bundle.resourceDirectory.isEmpty())
        add(QDir(bundle.resourceDirectory).filePath(resourceName));
    if (!bundle.bundleDirectory.isEmpty())
        add(QDir(bundle.bundleDirectory).filePath(QStringLiteral("Contents/Resources/") + resourceName));
    add(resourceLookup(bundle, resourceName, QString()));
    add(resourceLookup(bundle, resourceName, QStringLiteral("")));
    return candidates;
}

std::optional<QString> reveal(const QByteArray &data)
{
    if (data.size() < minimumStampBytes || !data.startsWith(magicBytes()))
        return std::nullopt;
    const QByteArray plain = scramble(QByteArrayView(data).sliced(magicBytes().size()));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(plain);
    if (decoder.hasError())
        return std::nullopt;
    QString key = text.trimmed();
    if (key.toUtf8().size() < minimumKeyBytes)
        return std::nullopt;
    return key;
}

QByteArray conceal(const QString &key)
{
    return magicBytes().toByteArray() + scramble(key.toUtf8());
}

std::optional<QByteArray> readStampFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable() || info.size() > maximumStampBytes)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray data = file.read(maximumStampBytes + 1);
    if (file.error() != QFileDevice::NoError || data.size() > maximumStampBytes)
        return std::nullopt;
    return data;
}

std::optional<QString> enrollmentKey(const QStringList &candidates, const StampReader &read)
{
    for (const QString &candidate : candidates) {
        const auto data = read(standardized(candidate));
        if (!data)
            continue;
        if (auto key = reveal(*data))
            return key;
    }
    return std::nullopt;
}

std::optional<QString> defaultEnrollmentKeyProvider()
{
    return enrollmentKey(resourceURLs(mainBundle()));
}

} // namespace BundleStamp
