#include "app/InterfaceLanguage.h"

#include "app/ProfileFiles.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>

Q_LOGGING_CATEGORY(lcLanguage, "quorvantis.language")

namespace InterfaceLanguage {

namespace {

const QString chinese = QStringLiteral("zh_CN");
const QString english = QStringLiteral("en");

// The language a name is written in: "zh" for "zh-Hans-CN", "en" for "en_GB".
QString languageOf(const QString &name)
{
    return name.section(u'-', 0, 0).section(u'_', 0, 0).toLower();
}

// The interface's language, fixed at the first call: what install() loaded.
QString &installed()
{
    static QString language;
    return language;
}

} // namespace

const QStringList &available()
{
    static const QStringList languages{chinese, english};
    return languages;
}

QString displayName(const QString &language)
{
    return language == chinese ? QStringLiteral("中文") : language == english ? QStringLiteral("English") : language;
}

std::optional<QString> supported(const QString &name)
{
    const QString language = languageOf(name.trimmed());
    if (language == u"zh")
        return chinese;
    if (language == u"en")
        return english;
    return std::nullopt;
}

QString choose(const std::optional<QString> &chosen, const QStringList &systemLanguages)
{
    if (chosen) {
        if (const auto language = supported(*chosen))
            return *language;
    }
    // The first of the user's languages the interface speaks: someone who prefers French, then
    // Chinese, reads Chinese. Without any, English, the language most read as a second one.
    for (const QString &language : systemLanguages) {
        if (const auto spoken = supported(language))
            return *spoken;
    }
    return english;
}

QString name()
{
    if (!installed().isEmpty())
        return installed();
    return choose(ProfileFiles::language(ProfileFiles::defaultProfileDirectory()), QLocale::system().uiLanguages());
}

std::unique_ptr<QTranslator> translator(const QString &language)
{
    if (language == chinese)
        return nullptr;
    auto loaded = std::make_unique<QTranslator>();
    if (!loaded->load(QLocale(language), QStringLiteral("quorvantis"), QStringLiteral("_"), QStringLiteral(":/i18n"))) {
        qCWarning(lcLanguage) << "No translation of the interface into" << language;
        return nullptr;
    }
    return loaded;
}

void install(QCoreApplication &application, const QString &language)
{
    installed() = language;
    if (auto loaded = translator(language)) {
        loaded->setParent(&application);
        QCoreApplication::installTranslator(loaded.release());
    }
    // Qt's own texts follow the interface's language, not the system's.
    installQtTranslations(application, language);
}

void install(QCoreApplication &application)
{
    install(application, name());
}

bool installQtTranslations(QCoreApplication &application)
{
    return installQtTranslations(application, name());
}

bool installQtTranslations(QCoreApplication &application, const QString &language)
{
    auto *translator = new QTranslator(&application);
    const QString directory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QLocale(language), QStringLiteral("qtbase"), QStringLiteral("_"), directory)) {
        qCInfo(lcLanguage) << "No Qt translations for" << language << "in" << directory;
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

} // namespace InterfaceLanguage
