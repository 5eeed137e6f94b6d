#pragma once

// What the test files share beside Qt Test itself: awaiting a task, files and scripts.

#include "support/AwaitTask.h"
#include "support/ScriptFiles.h"

#include <QTest>

#include <array>

namespace QuorvantisTest {

// Declares the columns of a data-driven test at once: columns<QString, int>({"name", "count"}).
template <typename... T>
void columns(const std::array<const char *, sizeof...(T)> &names)
{
    std::size_t i = 0;
    (QTest::addColumn<T>(names[i++]), ...);
}

} // namespace QuorvantisTest
