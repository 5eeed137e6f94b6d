#include "ui/DiagnosticsExport.h"

#include "app/Diagnostics.h"
#include "ui/Symbols.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>

namespace DiagnosticsExport {

namespace {

PathChooser &chooser()
{
    static PathChooser chosen;
    return chosen;
}

std::optional<QString> askForPath(QWidget *parent, const QString &suggested)
{
    if (chooser())
        return chooser()(parent, suggested);
    const QString path = QFileDialog::getSaveFileName(parent, actionTitle(), suggested,
                                                      QCoreApplication::translate("DiagnosticsExport", "诊断信息 (*.tar)"));
    return path.isEmpty() ? std::nullopt : std::optional<QString>(path);
}

// The path as the user knows it: below the home, from "~".
QString shown(const QString &path)
{
    const QString home = QDir::homePath() + u'/';
    return QDir::toNativeSeparators(path.startsWith(home) ? QStringLiteral("~/") + path.mid(home.size()) : path);
}

void tell(QWidget *parent, bool written, const QString &title, const QString &detail)
{
    // Not modal to the whole application: the export is done, nothing waits for the answer.
    auto *box = new QMessageBox(written ? QMessageBox::NoIcon : QMessageBox::Warning, actionTitle(), title,
                                QMessageBox::Ok, parent ? parent->window() : nullptr);
    if (written)
        box->setIconPixmap(Symbols::quorvantisLogo().pixmap(QSize(48, 48), box->devicePixelRatioF()));
    box->setInformativeText(detail);
    box->button(QMessageBox::Ok)->setText(QCoreApplication::translate("DiagnosticsExport", "好"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("diagnostics-export-result"));
    box->open();
}

} // namespace

QString actionTitle()
{
    return QCoreApplication::translate("DiagnosticsExport", "导出诊断信息");
}

void setPathChooser(PathChooser chosen)
{
    chooser() = std::move(chosen);
}

void run(AppModel *model, QWidget *parent)
{
    const Diagnostics::Report report = Diagnostics::gather(*model);
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    const auto path = askForPath(parent, QDir(folder).filePath(Diagnostics::suggestedFileName(report.createdAt)));
    if (!path)
        return;
    QString error;
    if (!Diagnostics::write(report, *path, &error)) {
        tell(parent, false, QCoreApplication::translate("DiagnosticsExport", "无法导出诊断信息"), QCoreApplication::translate("DiagnosticsExport", "无法写入 %1：%2").arg(shown(*path), error));
        return;
    }
    tell(parent, true, QCoreApplication::translate("DiagnosticsExport", "诊断信息已导出"),
         QCoreApplication::translate("DiagnosticsExport", "已保存到 %1。其中的令牌、密钥、安装码和绑定链接均已移除，可以放心发给支持人员。").arg(shown(*path)));
}

} // namespace DiagnosticsExport
