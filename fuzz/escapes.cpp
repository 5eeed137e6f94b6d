// The control-sequence cleaner: nothing it keeps forms a sequence, it keeps the rest in order,
// a second pass changes nothing, and it ends where removing sequences one pass at a time ends.

#include "FuzzSupport.h"
#include "Targets.h"

#include <QRegularExpression>

namespace {

// Whether a whole sequence starts at `at`, read independently of the cleaner.
bool sequenceAt(QStringView text, qsizetype at)
{
    if (text[at] != QChar(0x1B) || at + 1 >= text.size() || text[at + 1] != u'[')
        return false;
    qsizetype i = at + 2;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'?')
        ++i;
    while (i < text.size() && text[i] >= u' ' && text[i] <= u'/')
        ++i;
    return i < text.size() && text[i] >= u'@' && text[i] <= u'~';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const bool raw = data.ConsumeBool();
    const QString text = Fuzz::remainingText(data, raw);

    std::vector<qsizetype> origins;
    const QString cleaned = Product::stripEscapes(text, &origins);
    FUZZ_CHECK(qsizetype(origins.size()) == cleaned.size(), cleaned);
    for (qsizetype i = 0; i < cleaned.size(); ++i) {
        FUZZ_CHECK(i == 0 || origins[size_t(i)] > origins[size_t(i - 1)], text);
        FUZZ_CHECK(text[origins[size_t(i)]] == cleaned[i], text);
        FUZZ_CHECK(!sequenceAt(cleaned, i), cleaned);
    }
    FUZZ_CHECK(Product::stripEscapes(cleaned, nullptr) == cleaned, cleaned);

    if (!Fuzz::hasLoneSurrogate(text)) {
        static const QRegularExpression sequence(QStringLiteral("\\x{1B}\\[[0-?]*[ -/]*[@-~]"));
        QString repeated = text;
        for (qsizetype before = -1; before != repeated.size();) {
            before = repeated.size();
            repeated.replace(sequence, QString());
        }
        FUZZ_CHECK(repeated == cleaned, text);
    }
    return 0;
}
