#include "platform/PlatformWords.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace PlatformWords {

QString thisComputer()
{
    return onMac() ? QCoreApplication::translate("PlatformWords", "这台 Mac")
                   : QCoreApplication::translate("PlatformWords", "这台电脑");
}

QString forThisComputer(const QString &text)
{
    if (onMac())
        return text;
    // "这台 Mac 上" has the space a Latin word takes beside Chinese; "这台电脑上" has none. A
    // translated text says it in its own words: the translation of "这台 Mac".
    static const QRegularExpression chineseMac(QStringLiteral("这台 Mac(?: (?=\\p{Han}))?"));
    const QString translatedMac = QCoreApplication::translate("PlatformWords", "这台 Mac");
    QString spoken = text;
    spoken.replace(chineseMac, thisComputer());
    if (translatedMac != u"这台 Mac")
        spoken.replace(translatedMac, thisComputer());
    return spoken;
}

} // namespace PlatformWords
