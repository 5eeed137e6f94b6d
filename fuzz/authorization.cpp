// The workspace authorization parser over any sequence of output lines: a record it returns has
// one of the two providers, credentials within their limits and an https URL without user
// information on one of that provider's hosts; consume returns jsonEvent's record for an event
// line; an accepted URL is accepted again as it reads back.

#include "FuzzSupport.h"
#include "Targets.h"

namespace {

void checkURL(const QUrl &url, const QString &provider, const QString &written)
{
    FUZZ_CHECK(url.scheme() == u"https", written);
    FUZZ_CHECK(url.port() == -1 || url.port() == 443, written);
    FUZZ_CHECK(url.userInfo().isEmpty(), written);
    FUZZ_CHECK(Product::authorizationHosts(provider).contains(url.host().toLower()), written);
    const auto again = Product::validatedAuthorizationURL(url.toString(QUrl::FullyEncoded), provider);
    FUZZ_CHECK(again && *again == url, written);
}

void checkRecord(const Product::Authorization &record, const QString &line)
{
    FUZZ_CHECK(record.provider == u"google" || record.provider == u"zoho", line);
    const qsizetype email = Product::characterCount(record.email);
    FUZZ_CHECK(email >= 1 && email <= 320 && record.email.contains(u'@'), line);
    const qsizetype password = Product::characterCount(record.password);
    FUZZ_CHECK(password >= 1 && password <= 1024, line);
    checkURL(record.authURL, record.provider, line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const QString provider = Fuzz::text(data, false);
    // Lines reach the parser trimmed, as the output pipeline hands them on.
    const QStringList lines = Fuzz::remainingText(data, false).split(u'\n');

    Product::AuthorizationParser parser;
    for (const QString &untrimmed : lines) {
        const QString line = untrimmed.trimmed();
        const auto event = Product::AuthorizationParser::jsonEvent(line);
        const auto record = parser.consume(line);
        if (event) {
            checkRecord(*event, line);
            FUZZ_CHECK(record == event, line);
        }
        if (record)
            checkRecord(*record, line);
        for (const QString &name : {QStringLiteral("google"), QStringLiteral("zoho"), provider}) {
            if (const auto url = Product::validatedAuthorizationURL(line, name))
                checkURL(*url, name, line);
        }
    }
    return 0;
}
