#include "ui/DiagnosticsExport.h"

#include "app/Diagnostics.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
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
                                                      QStringLiteral("诊断信息 (*.tar)"));
    return path.isEmpty() ? std::nullopt : std::optional<QString>(path);
}

void tell(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &detail)
{
    // Not modal to the whole application: the export is done, nothing waits for the answer.
    auto *box = new QMessageBox(icon, title, detail, QMessageBox::Ok, parent ? parent->window() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("diagnostics-export-result"));
    box->open();
}

} // namespace

QString actionTitle()
{
    return QStringLiteral("导出诊断信息");
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
        tell(parent, QMessageBox::Warning, QStringLiteral("无法导出诊断信息"),
             QStringLiteral("无法写入 %1：%2").arg(QDir::toNativeSeparators(*path), error));
        return;
    }
    tell(parent, QMessageBox::Information, QStringLiteral("诊断信息已导出"),
         QStringLiteral("已保存到 %1。\n其中的令牌、密钥、安装码和绑定链接均已移除，可以放心发给支持人员。")
             .arg(QDir::toNativeSeparators(*path)));
}

} // namespace DiagnosticsExport
