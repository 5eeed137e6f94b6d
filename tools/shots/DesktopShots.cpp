// desktop_shots OUTDIR: the pictures of the desktop integration for the documentation, made
// offscreen from a model on scripted effects and a loopback status endpoint:
//   notification.png       the notice the agent going offline gives, beside the tray panel
//   diagnostics-export.png the tray panel and the answer after an export
// The desktop draws notifications itself; the bubble here is drawn from exactly the title, text
// and icon the notifier handed over.

#include "support/ServedModel.h"
#include "ui/DesktopNotifier.h"
#include "ui/DiagnosticsExport.h"
#include "ui/MenuBarContent.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>

namespace {

QCoro::Task<bool> granted(PermissionKind)
{
    co_return true;
}

void settle()
{
    for (int i = 0; i < 6; ++i)
        QCoreApplication::processEvents();
}

QWidget *bubble(const DesktopNotifier::Notice &notice)
{
    auto *frame = new QFrame;
    frame->setObjectName(QStringLiteral("bubble"));
    frame->setFixedWidth(360);
    frame->setStyleSheet(QStringLiteral("#bubble { background: #FBFBFC; border: 1px solid #D5D9DE; border-radius: 12px; }"));
    auto *icon = new QLabel;
    icon->setPixmap(Symbols::quorvantisLogo().pixmap(QSize(40, 40)));
    auto *text = new QVBoxLayout;
    text->setSpacing(3);
    text->addWidget(makeLabel(QStringLiteral("Quorvantis · 现在"), UIToken::Typography::caption, true));
    text->addWidget(makeLabel(notice.title, UIToken::Typography::bodyStrong));
    text->addWidget(makeLabel(notice.body, UIToken::Typography::meta));
    auto *layout = new QHBoxLayout(frame);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(12);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addLayout(text, 1);
    return frame;
}

// Lays the pieces out on a plain desktop-coloured ground and writes the picture.
bool save(const QString &path, const QList<QWidget *> &pieces)
{
    QWidget ground;
    ground.setObjectName(QStringLiteral("ground"));
    ground.setStyleSheet(QStringLiteral("#ground { background: #E4E8ED; }"));
    auto *layout = new QHBoxLayout(&ground);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(24);
    for (QWidget *piece : pieces) {
        piece->setAutoFillBackground(true);
        layout->addWidget(piece, 0, Qt::AlignTop);
    }
    ground.show();
    settle();
    ground.adjustSize();
    settle();
    return ground.grab().save(path);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: desktop_shots OUTDIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    Motion::setReducedMotionOverride(true);

    ServedModel fixture;
    fixture.effects.permissionCheck = granted;
    AppModel &model = fixture.makeServed();
    QuorvantisTest::await(model.perform(AppModel::RecoveryAction::make(AppModel::RecoveryAction::Kind::recheckPermissions)));
    fixture.poll();
    DesktopNotifier notifier(&model, {});
    fixture.statusAnswer = QuorvantisTest::ScriptedResponse::json(503, "{}");
    for (int i = 0; i < 3; ++i)
        fixture.poll();
    settle();
    if (notifier.shown().isEmpty()) {
        std::fprintf(stderr, "the notifier said nothing\n");
        return 1;
    }
    bool written = save(out.filePath(QStringLiteral("notification.png")),
                        {bubble(notifier.shown().constLast()), new MenuBarContent(&model, {})});

    fixture.statusAnswer = QuorvantisTest::ScriptedResponse::json(200, QuorvantisTest::Sample{}.json());
    fixture.poll();
    auto *panel = new MenuBarContent(&model, {});
    QDir(home.path()).mkpath(QStringLiteral("Desktop"));
    const QString archive = home.filePath(QStringLiteral("Desktop/quorvantis-diagnostics-20270115-080000.tar"));
    DiagnosticsExport::setPathChooser([&](QWidget *, const QString &) { return std::optional<QString>(archive); });
    panel->diagnosticsButton()->click();
    settle();
    QWidget *answer = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == u"diagnostics-export-result")
            answer = widget;
    }
    if (!answer) {
        std::fprintf(stderr, "the export gave no answer\n");
        return 1;
    }
    // The answer is a window of its own; its picture joins the panel's.
    auto *boxPicture = new QLabel;
    boxPicture->setPixmap(answer->grab());
    written = save(out.filePath(QStringLiteral("diagnostics-export.png")), {panel, boxPicture}) && written;
    return written ? 0 : 1;
}
