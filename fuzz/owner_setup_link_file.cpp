// The link file "mac-app-owner-setup-url" in the profile: whatever the file holds, what reads
// from it is a valid binding link of the service for the agent, and saving that link and reading
// again gives it back; any valid link whose text the input spells survives a save and a read
// exactly, in a private file of one line.

#include "FuzzSupport.h"
#include "Targets.h"

#include <QDir>
#include <QTemporaryDir>

namespace {

const QUrl service(QStringLiteral("https://onboarding.example.test/base"));
const QString agent = QStringLiteral("ops-bot");

const QTemporaryDir &profile()
{
    static const QTemporaryDir dir;
    return dir;
}

Product::OwnerSetupClient &client()
{
    static Product::OwnerSetupClient client(profile().path(), service);
    return client;
}

QString linkPath()
{
    return QDir(profile().path()).filePath(Product::linkFileName());
}

// Saves the link and reads it back.
std::optional<QUrl> saveAndRead(const QUrl &link, const QString &detail)
{
    client().saveCapturedSetupURL(link);
    QFile file(linkPath());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), detail);
    const QByteArray written = file.readAll();
    FUZZ_CHECK(written.endsWith('\n') && written.count('\n') == 1 && !written.contains('\r'), detail);
    FUZZ_CHECK((file.permissions() & 0x0777) == (QFileDevice::ReadUser | QFileDevice::WriteUser), detail);
    return client().capturedSetupURL(service, agent);
}

// The link comes back as the browser and the service see it (its fully encoded text); a link
// read from a file the client wrote comes back exactly. (Read from text, a delimiter inside the
// token may be held unencoded and then comes back encoded: the same text, another QUrl.)
void checkSavedAndRead(const QUrl &link, const QString &detail)
{
    const std::optional<QUrl> read = saveAndRead(link, detail);
    FUZZ_CHECK(read && read->toString(QUrl::FullyEncoded) == link.toString(QUrl::FullyEncoded),
               detail + QStringLiteral(" -> ") + (read ? read->toString(QUrl::FullyEncoded) : QString()));
    FUZZ_CHECK(saveAndRead(*read, detail) == read, detail);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    if (data.ConsumeBool()) {
        // The file as anything may have left it.
        const QByteArray content = QByteArray::fromStdString(data.ConsumeRemainingBytesAsString());
        QFile file(linkPath());
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size(), linkPath());
        file.close();
        const std::optional<QUrl> read = client().capturedSetupURL(service, agent);
        if (read) {
            const QString detail = QString::fromUtf8(content);
            FUZZ_CHECK(Product::isValidSetupURL(*read, service, agent), detail);
            checkSavedAndRead(*read, detail);
        }
        return 0;
    }
    // A link of the service for the agent as its text arrives (from the service or the file):
    // any path before the agent, any query and token.
    const QString prefix = Fuzz::text(data, false);
    const QString token = Fuzz::text(data, false);
    const QString query = Fuzz::remainingText(data, false);
    const QString text = service.toString() + u'/' + prefix + QStringLiteral("/ops-bot/setup")
        + (query.isEmpty() ? QString() : u'?' + query) + u'#' + token;
    const std::optional<QUrl> parsed = Product::parseLinkText(text);
    if (!parsed || !Product::isValidSetupURL(*parsed, service, agent))
        return 0;
    const QUrl link = *parsed;
    checkSavedAndRead(link, link.toString());
    return 0;
}
