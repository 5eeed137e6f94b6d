#pragma once

// The controller tests write a scenario as a Qt Test data row with named columns. A column of
// steps (or of scripted answers) is a list separated by "; ", each entry a word or "word:argument",
// the argument free text ("code:qvs2 abcd; wait:2000; check:journey=setup cccrpppppp error"). A
// step ending in '~' starts its operation without waiting for it to end ("refresh:forced~" is the
// word "refresh~"). Each test gives its words their meaning in one table.

#include <QHash>
#include <QStringList>
#include <QTest>

#include <functional>

namespace QuorvantisTest {

using Words = QHash<QString, std::function<void(const QString &argument)>>;

inline QStringList entries(const QString &list)
{
    return list.split(QStringLiteral("; "), Qt::SkipEmptyParts);
}

// Plays `steps` with `words`, up to the first failure; an unknown word fails the test.
inline void playSteps(const QString &steps, const Words &words)
{
    for (const QString &step : entries(steps)) {
        const bool started = step.endsWith(u'~');
        const QString bare = step.chopped(started ? 1 : 0);
        const auto found = words.constFind(bare.section(u':', 0, 0) + (started ? QStringLiteral("~") : QString()));
        QVERIFY2(found != words.cend(), qPrintable("unknown step " + step));
        (*found)(bare.section(u':', 1));
        if (QTest::currentTestFailed())
            return;
    }
}

} // namespace QuorvantisTest
