// Agent versions: what sanitizes is trimmed, at most 64 UTF-8 bytes and parses; "newer" is a
// strict weak order on every triple of versions that parse (irreflexive, asymmetric,
// transitive, and "neither is newer" transitive too); what does not parse is never newer and
// nothing is newer than it.

#include "FuzzSupport.h"
#include "Targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const QString a = Fuzz::text(data, false);
    const QString b = Fuzz::text(data, false);
    const QString c = Fuzz::remainingText(data, false);
    const QStringList all{a, b, c};

    for (const QString &text : all) {
        if (const auto clean = Product::sanitizedVersion(text)) {
            FUZZ_CHECK(*clean == text.trimmed() && clean->toUtf8().size() <= 64 && Product::parsesAsVersion(*clean), text);
        }
        if (!Product::parsesAsVersion(text)) {
            for (const QString &other : all)
                FUZZ_CHECK(!Product::isNewerVersion(text, other) && !Product::isNewerVersion(other, text), text);
        }
    }
    if (!Product::parsesAsVersion(a) || !Product::parsesAsVersion(b) || !Product::parsesAsVersion(c))
        return 0;

    const auto newer = [](const QString &x, const QString &y) { return Product::isNewerVersion(x, y); };
    const auto level = [&](const QString &x, const QString &y) { return !newer(x, y) && !newer(y, x); };
    const QString triple = a + u'|' + b + u'|' + c;
    for (const QString &x : all) {
        FUZZ_CHECK(!newer(x, x), triple);
        for (const QString &y : all) {
            FUZZ_CHECK(!(newer(x, y) && newer(y, x)), triple);
            for (const QString &z : all) {
                FUZZ_CHECK(!(newer(x, y) && newer(y, z)) || newer(x, z), triple);
                FUZZ_CHECK(!(level(x, y) && level(y, z)) || level(x, z), triple);
            }
        }
    }
    return 0;
}
