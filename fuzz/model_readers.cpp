// The readers of what the agent's tool prints and the files the application keeps: a progress
// line yields a phase the list has and one of its states, a package line counts that fit; the
// marker files read whatever bytes they hold as one of their values or as absent, the setup state
// as a state or none; the
// error panel's filter never lets a redacted or internal line through and keeps at most 240
// characters; every code and message maps to a complete error.

#include "FuzzSupport.h"
#include "Targets.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    static QTemporaryDir directory;
    FuzzedDataProvider data(bytes, size);
    const std::string head = data.ConsumeRandomLengthString();
    const QByteArray file = QByteArray::fromStdString(head);
    const QString line = Fuzz::remainingText(data, false);

    if (const auto event = Product::parseSetupOutput(line)) {
        if (const auto *progress = std::get_if<Product::SetupProgress>(&*event)) {
            FUZZ_CHECK(int(progress->phase) >= 0 && int(progress->phase) < 10, line);
            FUZZ_CHECK(progress->state != ProgressState::pending, line);
        }
        FUZZ_CHECK(line.trimmed().startsWith(u'{'), line);
    }

    for (const char *name : {"mac-app-install-stage", "mac-app-permissions-completed", "mac-app-permission-awaiting",
                             "setup-state.json"})
        write(directory.filePath(QString::fromLatin1(name)), file);
    if (const auto stage = Product::readInstallStage(directory.path()))
        FUZZ_CHECK(QString::fromUtf8(file).trimmed() == rawValue(*stage), QString::fromUtf8(file));
    for (const PermissionKind kind : Product::readCompletedPermissions(directory.path()))
        FUZZ_CHECK(QString::fromUtf8(file).contains(rawValue(kind)), QString::fromUtf8(file));
    if (const auto kind = Product::readAwaitingPermission(directory.path()))
        FUZZ_CHECK(QString::fromUtf8(file).trimmed() == rawValue(*kind), QString::fromUtf8(file));
    // Any bytes at all: read as a state or as none, without a crash or a hang.
    const QString state = directory.filePath(QStringLiteral("setup-state.json"));
    Product::hasResumableSession(state);
    Product::hasClaimableCode(state);

    if (const auto shown = Product::safeErrorMessage(line)) {
        FUZZ_CHECK(!shown->contains(u"REDACTED") && !shown->startsWith(u"QVAPP_") && !shown->isEmpty(), line);
        FUZZ_CHECK(shown->size() <= line.size() && line.trimmed().startsWith(*shown), line);
    }
    // As the model calls it: with a message that passed the filter.
    const DisplayError error = Product::displayError(QString::fromUtf8(file), Product::safeErrorMessage(line));
    FUZZ_CHECK(!error.message.isEmpty() && !error.impact.isEmpty(), line);
    return 0;
}
