// The window, its sheets and the tray panel in each language the interface speaks: every text
// fits where the layout puts it, and a translated interface shows no text left untranslated.
#include "Scene.h"

#include "app/InterfaceLanguage.h"
#include "ui/MenuBarContent.h"
#include "ui/PermissionPromptSheet.h"
#include "ui/RootContentView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTranslator>

namespace {

// The texts of `top` that do not fit where its layout put them: a wrapped label shorter than
// its text, a one-line label or a button narrower than its text, a widget reaching past the
// window's edge. With `untranslated`, also every text still in Chinese.
QStringList misfits(QWidget *top, bool untranslated)
{
    static const QRegularExpression han(QStringLiteral("\\p{Han}"));
    QStringList found;
    const auto report = [&found](const QWidget *widget, const QString &what, const QString &text) {
        found << QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(widget->metaObject()->className()), what, text.left(40));
    };
    for (QWidget *widget : top->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(top))
            continue;
        if (widget->mapTo(top, QPoint(widget->width(), 0)).x() > top->width())
            report(widget, QStringLiteral("past the edge"), widget->objectName());
        QString text;
        bool fits = true;
        // Subclasses of QLabel (an elided line) shorten their text on purpose.
        if (auto *label = qobject_cast<QLabel *>(widget); label && label->metaObject() == &QLabel::staticMetaObject) {
            text = label->text();
            fits = label->wordWrap() ? label->height() >= label->heightForWidth(label->width())
                                     : label->width() >= label->sizeHint().width();
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            text = button->text();
            fits = button->width() >= button->sizeHint().width();
        }
        if (!text.isEmpty() && !fits)
            report(widget, QStringLiteral("clipped"), text);
        if (untranslated && text.contains(han))
            report(widget, QStringLiteral("untranslated"), text);
    }
    return found;
}

} // namespace

class LanguageViewTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Still pictures: no page animation.
        Motion::setReducedMotionOverride(true);
    }

    void textsFit_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("then"); // what the user does first
        const QStringList scenes{QStringLiteral("setup"), QStringLiteral("setup;enroll"), QStringLiteral("setup;fail"),
                                 QStringLiteral("submitting"), QStringLiteral("authorizing"), QStringLiteral("preparing"),
                                 QStringLiteral("runtime;fail"), QStringLiteral("permissions 0;continue"),
                                 QStringLiteral("permissions 1;continue"), QStringLiteral("binding;present"),
                                 QStringLiteral("channel;present"), QStringLiteral("installed"),
                                 QStringLiteral("installed;fail"), QStringLiteral("offered")};
        for (const QString &language : InterfaceLanguage::available()) {
            for (const QString &scene : scenes) {
                QTest::addRow("%s, %s", qPrintable(language), qPrintable(scene))
                    << language << scene.section(u';', 0, 0) << scene.section(u';', 1);
            }
        }
    }
    void textsFit()
    {
        QFETCH(QString, language);
        QFETCH(QString, scene);
        QFETCH(QString, then);
        const std::unique_ptr<QTranslator> translator = InterfaceLanguage::translator(language);
        const bool translated = language != InterfaceLanguage::available().first();
        QCOMPARE(bool(translator), translated);
        if (translator)
            QCoreApplication::installTranslator(translator.get());
        const auto removed = qScopeGuard([&translator] { QCoreApplication::removeTranslator(translator.get()); });

        Scene s;
        AppModel &model = s.reach(scene);
        if (then == u"enroll")
            model.beginEnrollmentSetup();
        if (then == u"fail")
            model.fail(QStringLiteral("SETUP_CODE_UNAVAILABLE"));
        if (then == u"continue")
            await(model.continuePermissionOnboarding());
        if (then == u"present")
            model.setChannelBindingSheetPresented(true);
        RootContentView root(&model);
        root.resize(RootContentView::defaultSize);
        root.show();
        settle();
        QCOMPARE(root.size(), RootContentView::defaultSize);
        QStringList found = misfits(&root, translated);
        for (QDialog *sheet : {static_cast<QDialog *>(root.permissionPrompt()), root.channelBindingSheet()}) {
            if (sheet->isVisible())
                found += misfits(sheet, translated);
        }
        MenuBarContent panel(&model, {});
        panel.show();
        settle();
        panel.adjustSize();
        settle();
        found += misfits(&panel, translated);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(u'\n')));
    }
};

QTEST_MAIN(LanguageViewTests)
#include "LanguageViewTests.moc"
