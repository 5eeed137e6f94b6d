// The stored binding link: what decodes is an absolute https link (plain http only on
// localhost) that encodes and decodes to exactly itself.

#include "FuzzSupport.h"
#include "Targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray json = Fuzz::bytes(bytes, size);
    const auto link = Product::OwnerSetupLink::fromJson(json);
    if (!link)
        return 0;
    const QString detail = QString::fromUtf8(json);
    FUZZ_CHECK(!link->url.host().isEmpty() && link->url.userInfo().isEmpty(), detail);
    FUZZ_CHECK(link->url.scheme() == u"https" || (link->url.scheme() == u"http" && link->url.host() == u"localhost"), detail);
    const QByteArray encoded = link->toJson();
    const auto again = Product::OwnerSetupLink::fromJson(encoded);
    FUZZ_CHECK(again && *again == *link, detail + QStringLiteral(" -> ") + QString::fromUtf8(encoded));
    FUZZ_CHECK(again->toJson() == encoded, QString::fromUtf8(encoded));
    return 0;
}
