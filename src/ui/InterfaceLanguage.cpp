#include "ui/InterfaceLanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>

Q_LOGGING_CATEGORY(lcLanguage, "quorvantis.language")

namespace InterfaceLanguage {

QString name()
{
    return QStringLiteral("zh_CN");
}

bool installQtTranslations(QCoreApplication &application)
{
    auto *translator = new QTranslator(&application);
    const QString directory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QLocale(name()), QStringLiteral("qtbase"), QStringLiteral("_"), directory)) {
        qCInfo(lcLanguage) << "No Qt translations for" << name() << "in" << directory;
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

} // namespace InterfaceLanguage
