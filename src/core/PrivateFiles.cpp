#include "core/PrivateFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace Quorvantis {

bool makePrivatePath(const QString &path)
{
    const QString target = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    for (QString directory = target; !QFileInfo::exists(directory);) {
        missing.prepend(directory);
        const QString parent = QFileInfo(directory).path();
        if (parent == directory)
            break;
        directory = parent;
    }
    for (const QString &directory : std::as_const(missing)) {
        if (!QDir().mkdir(directory, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
            return false;
    }
    return QFileInfo(target).isDir();
}

} // namespace Quorvantis
