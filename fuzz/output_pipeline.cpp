// The output pipeline: a child's bytes fed whole or in chunks come out as the same lines,
// authorizations, line count and last error line; a secret given on standard input never comes
// out; the last error line begins one of the lines and holds at most 240 characters.

#include "FuzzSupport.h"
#include "Targets.h"

namespace {

struct Run
{
    QStringList lines;
    QList<Product::Authorization> authorizations;
    std::optional<QString> lastErrorLine;
    qint64 lineCount = 0;

    bool operator==(const Run &) const = default;
};

Run run(const QByteArray &output, const QStringList &secrets, const std::vector<qsizetype> &cuts)
{
    Run result;
    // The authorization parser intercepts the lines it takes, as the setup runs wire it.
    Product::AuthorizationParser parser;
    const auto intercept = [&](const QString &line) {
        const auto authorization = parser.consume(line);
        if (authorization)
            result.authorizations << *authorization;
        return authorization.has_value();
    };
    Product::OutputPipeline pipeline(nullptr, [&result](const QString &line) { result.lines << line; }, intercept, secrets);
    qsizetype at = 0;
    for (const qsizetype cut : cuts) {
        const qsizetype length = std::min(cut, output.size() - at);
        pipeline.feed(QByteArrayView(output.constData() + at, length));
        at += length;
    }
    pipeline.feed(QByteArrayView(output.constData() + at, output.size() - at));
    pipeline.finish();
    result.lastErrorLine = pipeline.lastErrorLine();
    result.lineCount = pipeline.lineCount();
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const QString secret = Fuzz::plantedSecret(data);
    std::vector<qsizetype> cuts(data.ConsumeIntegralInRange<size_t>(0, 8));
    for (qsizetype &cut : cuts)
        cut = data.ConsumeIntegralInRange<qsizetype>(0, 64);
    const QByteArray before = QByteArray::fromStdString(data.ConsumeRandomLengthString());
    const QByteArray output = before + secret.toUtf8() + QByteArray::fromStdString(data.ConsumeRemainingBytesAsString());

    const Run whole = run(output, {secret}, {});
    const Run chunked = run(output, {secret}, cuts);
    FUZZ_CHECK(whole == chunked, QString::fromUtf8(output));
    for (const QString &line : whole.lines)
        FUZZ_CHECK(!line.contains(secret), line);
    if (whole.lastErrorLine) {
        FUZZ_CHECK(Product::characterCount(*whole.lastErrorLine) <= 240, *whole.lastErrorLine);
        FUZZ_CHECK(std::any_of(whole.lines.cbegin(), whole.lines.cend(),
                               [&](const QString &line) { return line.trimmed().startsWith(*whole.lastErrorLine); }),
                   *whole.lastErrorLine);
    }
    return 0;
}
