// Setup codes and agent names: the formatter shows at most 19 characters of the code alphabet,
// "I" and hyphens in groups of four, and is idempotent; a valid code's canonical form is what
// the formatter shows for it, is itself valid and canonical; an accepted agent name is 6 to 64
// lower-case letters, digits and inner hyphens.

#include "FuzzSupport.h"
#include "Targets.h"

namespace {

void checkFormatted(const QString &shown, const QString &input)
{
    FUZZ_CHECK(shown.size() <= 19, input);
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QChar c = shown[i];
        if (i % 5 == 4)
            FUZZ_CHECK(c == u'-' && i + 1 < shown.size(), input);
        else
            FUZZ_CHECK(QStringView(u"0123456789ABCDEFGHIJKMNPQRSTVWXYZ").contains(c), input);
    }
    FUZZ_CHECK(Product::formattedSetupCode(shown) == shown, input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const bool raw = data.ConsumeBool();
    const QString name = Fuzz::text(data, raw);
    const QString text = Fuzz::remainingText(data, raw);

    const QString shown = Product::formattedSetupCode(text);
    checkFormatted(shown, text);
    if (const auto canonical = Product::canonicalSetupCode(text)) {
        FUZZ_CHECK(canonical->size() == 19 && (canonical->startsWith(u"QVS2-") || canonical->startsWith(u"QVI1-")), text);
        FUZZ_CHECK(!canonical->mid(4).contains(u'I'), text);
        FUZZ_CHECK(*canonical == shown, text);
        FUZZ_CHECK(Product::canonicalSetupCode(*canonical) == canonical, text);
    }

    for (const QString &candidate : {name, name.trimmed().toLower()}) {
        if (!Product::isValidAgentName(candidate))
            continue;
        FUZZ_CHECK(candidate.size() >= 6 && candidate.size() <= 64, candidate);
        FUZZ_CHECK(!candidate.startsWith(u'-') && !candidate.endsWith(u'-'), candidate);
        for (const QChar c : candidate)
            FUZZ_CHECK((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-', candidate);
    }
    return 0;
}
