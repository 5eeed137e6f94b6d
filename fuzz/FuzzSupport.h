#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>

// A broken invariant aborts, so libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition, detail)                                                                                 \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n  %s\n", __FILE__, __LINE__, #condition,             \
                         Fuzz::visible(detail).constData());                                                           \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace Fuzz {

// Printable ASCII as it is, everything else as \u{…}.
inline QByteArray visible(const QString &text)
{
    QByteArray out;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'\\')
            out += char(c.unicode());
        else
            out += "\\u{" + QByteArray::number(c.unicode(), 16) + '}';
    }
    return out;
}

// Text as a child or a file could produce it (UTF-8, repaired), or, when `raw`, UTF-16 units as
// they come, lone surrogates included.
inline QString text(const std::string &bytes, bool raw)
{
    if (!raw)
        return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    return QString(reinterpret_cast<const QChar *>(bytes.data()), qsizetype(bytes.size() / 2));
}

inline QString text(FuzzedDataProvider &data, bool raw)
{
    return text(data.ConsumeRandomLengthString(), raw);
}

inline QString remainingText(FuzzedDataProvider &data, bool raw)
{
    return text(data.ConsumeRemainingBytesAsString(), raw);
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

inline bool hasLoneSurrogate(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

// A secret as the tests plant it: lower-case letters and digits, so that it can never be spelled
// by a token's brackets and capitals.
inline QString plantedSecret(FuzzedDataProvider &data)
{
    const std::string seed = data.ConsumeBytesAsString(data.ConsumeIntegralInRange<size_t>(8, 24));
    QString secret;
    for (const char c : seed)
        secret += QChar(u"abcdefghijklmnopqrstuvwxyz0123456789"[static_cast<unsigned char>(c) % 36]);
    while (secret.size() < 8)
        secret += u'z';
    return secret;
}

} // namespace Fuzz
