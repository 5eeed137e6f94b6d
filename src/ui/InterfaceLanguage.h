#pragma once

#include <QString>

class QCoreApplication;

// The language the interface speaks, and Qt's own texts in it: the standard dialogs, the text
// fields' context menus and the buttons Qt titles itself read like the rest of the window.
namespace InterfaceLanguage {

// The interface's language, as a locale name ("zh_CN").
QString name();

// Loads Qt's own translations for the interface's language into the application; false when
// the system has none for it (Qt's texts then stay in English).
bool installQtTranslations(QCoreApplication &application);

} // namespace InterfaceLanguage
