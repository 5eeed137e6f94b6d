// The enrolment stamp: a revealed key is trimmed text of at least 32 UTF-8 bytes, concealing it
// again reveals the same key, and any key of that size survives concealing and revealing.

#include "FuzzSupport.h"
#include "Targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray stamp = Fuzz::bytes(bytes, size);
    // The packaging side: a key concealed as given is revealed trimmed.
    const QString given = QString::fromUtf8(stamp);
    if (given.trimmed().toUtf8().size() >= 32)
        FUZZ_CHECK(Product::revealStamp(Product::concealStamp(given)) == given.trimmed(), given);

    const auto key = Product::revealStamp(stamp);
    if (!key)
        return 0;
    FUZZ_CHECK(*key == key->trimmed() && key->toUtf8().size() >= 32, *key);
    FUZZ_CHECK(Product::revealStamp(Product::concealStamp(*key)) == key, *key);
    return 0;
}
