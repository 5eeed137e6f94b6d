// The output pipeline with its install log, as a run leaves it: a child's bytes fed whole or in
// chunks leave the same file, byte for byte, holding exactly the lines the caller got, one per
// line, between the run's header and exit lines; neither the file nor a line holds the secret
// given on standard input; every logged line is its own redaction, so a line has one form.

#include "FuzzSupport.h"
#include "Targets.h"

#include <QTemporaryDir>

namespace {

struct Run
{
    QStringList lines;
    QByteArray file;
};

const QTemporaryDir &directory()
{
    static const QTemporaryDir dir;
    return dir;
}

Run run(const QString &name, const QByteArray &output, const QStringList &secrets, const std::vector<qsizetype> &cuts)
{
    const QString path = directory().filePath(name);
    QFile::remove(path);
    Run result;
    {
        const std::unique_ptr<QFile> log = Product::openLog(path);
        FUZZ_CHECK(log != nullptr, path);
        Product::writeLog(QStringLiteral("\n--- 2026-03-01T08:15:30Z ---"), log.get());
        Product::OutputPipeline pipeline(log.get(), [&result](const QString &line) { result.lines << line; }, {}, secrets);
        qsizetype at = 0;
        for (const qsizetype cut : cuts) {
            const qsizetype length = std::min(cut, output.size() - at);
            pipeline.feed(QByteArrayView(output.constData() + at, length));
            at += length;
        }
        pipeline.feed(QByteArrayView(output.constData() + at, output.size() - at));
        pipeline.finish();
        Product::writeLog(QStringLiteral("Process exited with status 0"), log.get());
    }
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), path);
    result.file = file.readAll();
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
    const QString detail = QString::fromUtf8(output);

    const Run whole = run(QStringLiteral("whole.log"), output, {secret}, {});
    const Run chunked = run(QStringLiteral("chunked.log"), output, {secret}, cuts);
    FUZZ_CHECK(whole.file == chunked.file && whole.lines == chunked.lines, detail);

    QByteArray expected = "\n--- 2026-03-01T08:15:30Z ---\n";
    for (const QString &line : whole.lines)
        expected += line.toUtf8() + '\n';
    expected += "Process exited with status 0\n";
    FUZZ_CHECK(whole.file == expected, detail + QStringLiteral(" -> ") + QString::fromUtf8(whole.file));
    FUZZ_CHECK(!whole.file.contains(secret.toUtf8()), QString::fromUtf8(whole.file));
    for (const QString &line : whole.lines) {
        FUZZ_CHECK(!line.contains(secret), line);
        FUZZ_CHECK(Product::clean(line, {secret}).text == line, line);
    }
    return 0;
}
