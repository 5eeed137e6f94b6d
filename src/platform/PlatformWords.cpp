#include "platform/PlatformWords.h"

#include <QRegularExpression>

namespace PlatformWords {

QString thisComputer()
{
    return onMac() ? QStringLiteral("这台 Mac") : QStringLiteral("这台电脑");
}

QString forThisComputer(const QString &text)
{
    if (onMac())
        return text;
    // "这台 Mac 上" has the space a Latin word takes beside Chinese; "这台电脑上" has none.
    static const QRegularExpression mac(QStringLiteral("这台 Mac(?: (?=\\p{Han}))?"));
    QString spoken = text;
    return spoken.replace(mac, thisComputer());
}

} // namespace PlatformWords
