// The status document and its dates: decoding either yields a status with a valid sample time or
// fails with the decoding error, nothing else; a date parsed without fractions is the same
// instant with them accepted, and shows the written date and time in its own offset.

#include "FuzzSupport.h"
#include "Targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray body = Fuzz::bytes(bytes, size);
    try {
        const AgentRuntimeStatus status = Product::decodeRuntimeStatus(body);
        FUZZ_CHECK(status.sampledAt.isValid(), QString::fromUtf8(body));
    } catch (const Product::RuntimeStatusError &) {
    }

    const QString text = QString::fromUtf8(body);
    const auto strict = Product::parseDate(text, false);
    const auto lenient = Product::parseDate(text, true);
    FUZZ_CHECK(!strict || (lenient && *lenient == *strict), text);
    if (lenient) {
        FUZZ_CHECK(lenient->isValid(), text);
        const QString written = lenient->toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
        FUZZ_CHECK(written == text.left(19).toUpper(), text + QStringLiteral(" -> ") + written);
    }
    if (strict)
        FUZZ_CHECK(!text.contains(u'.'), text);
    return 0;
}
