#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QCoreApplication;
class QTranslator;

// The language the interface speaks, and Qt's own texts in it: the standard dialogs, the text
// fields' context menus and the buttons Qt titles itself read like the rest of the window.
//
// The texts are written in Chinese; other languages are translations loaded at start-up. The
// interface speaks the first of the system's preferred languages it has texts for (English when
// none), unless the user chose a language (kept in the profile, see ProfileFiles::language).
namespace InterfaceLanguage {

// The languages there are texts for, as locale names: "zh_CN" (the texts' own) and "en".
const QStringList &available();

// The language's name in itself ("中文", "English"), as a language menu lists it.
QString displayName(const QString &language);

// One of available() for a name the user gave ("zh", "zh-Hans", "en_GB", ...); absent for a
// language the interface does not speak.
std::optional<QString> supported(const QString &name);

// The language for the user's choice (absent: none) and the system's preferred languages.
QString choose(const std::optional<QString> &chosen, const QStringList &systemLanguages);

// The interface's language for the current user, from the default profile and the system.
QString name();

// The translation of the interface's texts into `language`, loaded; none for Chinese, the texts'
// own language (or a language without one).
std::unique_ptr<QTranslator> translator(const QString &language);

// Installs the translation of the interface into `name` (none for Chinese) and Qt's own texts in
// it. Called once at start-up, before the first text is made.
void install(QCoreApplication &application, const QString &name);
void install(QCoreApplication &application);

// Loads Qt's own translations for `language` (by default the interface's) into the application;
// false when the system has none for it (Qt's texts then stay in English).
bool installQtTranslations(QCoreApplication &application, const QString &language);
bool installQtTranslations(QCoreApplication &application);

} // namespace InterfaceLanguage
