// The registry's document for the agent's "beta" tag: whatever the body, the version read is
// absent or trimmed, at most 64 bytes and a version that parses; a document built around any
// version text yields exactly what sanitizing that text yields, whatever other keys it holds and
// however its strings are escaped, and nothing when the value is no string; a version read
// reads back the same from a document written with it; a body over the bound is not read.

#include "FuzzSupport.h"
#include "Targets.h"

namespace {

using json = nlohmann::json;

void checkRead(const QByteArray &body)
{
    const std::optional<QString> version = Product::registryDocumentVersion(body);
    if (!version)
        return;
    const QString detail = QString::fromUtf8(body);
    FUZZ_CHECK(*version == version->trimmed() && version->toUtf8().size() <= 64, detail);
    FUZZ_CHECK(Product::parsesAsVersion(*version) && Product::sanitizedVersion(*version) == version, detail);
    const std::string again = json{{"version", version->toStdString()}}.dump();
    FUZZ_CHECK(Product::registryDocumentVersion(QByteArray::fromStdString(again)) == version, detail);
}

// A document as a registry writes one: the version among other keys, in a random escape style.
QByteArray document(FuzzedDataProvider &data, const json &version)
{
    json document = json::object();
    const int others = data.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < others; ++i) {
        const std::string key = Fuzz::text(data, false).toStdString();
        if (key == "version")
            continue;
        switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0:
            document[key] = Fuzz::text(data, false).toStdString();
            break;
        case 1:
            document[key] = data.ConsumeIntegral<std::int64_t>();
            break;
        case 2:
            // The same key one level down is not the document's version.
            document[key] = json{{"version", Fuzz::text(data, false).toStdString()}};
            break;
        default:
            document[key] = nullptr;
        }
    }
    document["version"] = version;
    const bool ascii = data.ConsumeBool();
    const int indent = data.ConsumeBool() ? -1 : 2;
    const QByteArray padding(data.ConsumeIntegralInRange(0, 3), ' ');
    return padding + QByteArray::fromStdString(document.dump(indent, ' ', ascii)) + padding;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    switch (data.ConsumeIntegralInRange(0, 3)) {
    case 0: {
        const QString text = Fuzz::text(data, false);
        const QByteArray body = document(data, text.toStdString());
        FUZZ_CHECK(Product::registryDocumentVersion(body) == Product::sanitizedVersion(text), QString::fromUtf8(body));
        checkRead(body);
        break;
    }
    case 1: {
        const json notText = data.ConsumeBool() ? json(data.ConsumeIntegral<int>())
                                                : json::array({Fuzz::text(data, false).toStdString()});
        const QByteArray body = document(data, notText);
        FUZZ_CHECK(!Product::registryDocumentVersion(body), QString::fromUtf8(body));
        break;
    }
    case 2: {
        // Padded past the bound with blanks, which a parser would skip.
        QByteArray body = QByteArray::fromStdString(data.ConsumeRemainingBytesAsString());
        checkRead(body);
        body += QByteArray(Product::registryDocumentLimit + 1 - std::min<qint64>(body.size(), Product::registryDocumentLimit), ' ');
        FUZZ_CHECK(!Product::registryDocumentVersion(body), QString::fromUtf8(body.left(200)));
        break;
    }
    default:
        checkRead(QByteArray::fromStdString(data.ConsumeRemainingBytesAsString()));
    }
    return 0;
}
