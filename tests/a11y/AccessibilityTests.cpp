// What assistive technology receives from the window: the announcements, once per revision, and
// scroll areas that answer any child index a screen reader asks for.
#include "ui/Scene.h"

#include "ui/Accessibility.h"
#include "ui/RootContentView.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QScrollArea>
#include <QTest>

struct AttentionAccess
{
    static void announce(Attention &attention, const QString &text, int revisions = 1)
    {
        attention.m_announcement = text;
        attention.m_announcementRevision = attention.m_announcementRevision() + revisions;
    }
};

namespace {

QStringList alerts;

void recordAlerts(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::Alert)
        alerts.append(event->accessibleInterface()->text(QAccessible::Name));
}

} // namespace

class AccessibilityTests : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        Accessibility::install();
        QAccessible::installUpdateHandler(recordAlerts);
        QAccessible::setActive(true);
    }

    void announcements()
    {
        if (!QAccessible::isActive())
            QSKIP("no assistive technology bridge on this platform (a11y_interfaces_on_the_bus runs it)");
        Scene s;
        AppModel &m = s.reach(QStringLiteral("permissions"));
        RootContentView root(&m);
        root.show();
        settle();
        alerts.clear();
        Attention &attention = AppModelAccess{m}.attention();

        AttentionAccess::announce(attention, QStringLiteral("正在安装"));
        settle();
        QCOMPARE(alerts, QStringList{QStringLiteral("正在安装")});
        QCOMPARE(root.announcementRegion()->accessibleName(), QStringLiteral("正在安装"));
        // Other published changes leave an unchanged revision unspoken.
        attention.showNotice(QStringLiteral("已完成"));
        attention.requestFocus(FocusTarget::setupCode());
        settle();
        QCOMPARE(alerts.size(), 1);
        // The same text under a new revision is spoken again; two revisions at once, once.
        AttentionAccess::announce(attention, QStringLiteral("正在安装"), 2);
        settle();
        QCOMPARE(alerts, (QStringList{QStringLiteral("正在安装"), QStringLiteral("正在安装")}));
    }

    void scrollAreaChildren()
    {
        QScrollArea area;
        auto *content = new QLabel(QStringLiteral("内容"));
        content->setMinimumHeight(800);
        area.setWidget(content);
        area.resize(200, 100);
        area.show();
        settle();
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(&area);
        const int count = face->childCount();
        QVERIFY(count > 0);
        for (int i = 0; i < count; ++i)
            QVERIFY(face->child(i));
        // The scroll bar goes away: a count taken before it now asks past the end.
        content->setMinimumHeight(10);
        area.resize(200, 400);
        settle();
        for (int i = face->childCount(); i <= count + 2; ++i)
            QCOMPARE(face->child(i), nullptr);
        QCOMPARE(face->child(-1), nullptr);
    }
};

QTEST_MAIN(AccessibilityTests)
#include "AccessibilityTests.moc"
