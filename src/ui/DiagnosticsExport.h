#pragma once

#include <QString>

#include <functional>
#include <optional>

class AppModel;
class QWidget;

// "导出诊断信息": asks where to save, writes the archive and says how it went.
namespace DiagnosticsExport {

QString actionTitle();

// Runs the whole export for the model's state; the outcome shows as a message next to `parent`.
void run(AppModel *model, QWidget *parent);

// Where the archive goes: the save dialog, unless tests or the screenshot tool put another
// chooser in its place. Absent: the user cancelled.
using PathChooser = std::function<std::optional<QString>(QWidget *parent, const QString &suggested)>;
void setPathChooser(PathChooser chooser);

} // namespace DiagnosticsExport
