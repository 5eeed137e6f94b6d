#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

// The enrolment key travels inside the application as the resource "stamp": a fixed magic,
// then the key's UTF-8 bytes scrambled with a position byte and a 32-byte table. The scrambling
// only keeps the key out of plain sight in the bundle; the packaging tool writes the same layout.
namespace BundleStamp {

inline constexpr std::array<std::uint8_t, 4> magic = {0xc7, 0x51, 0x56, 0x01};
inline constexpr qsizetype minimumKeyBytes = 32;
inline constexpr qsizetype minimumStampBytes = qsizetype(magic.size()) + minimumKeyBytes;

// Where a bundle keeps its resources. On macOS the bundle directory is the ".app" and the
// resource directory its Contents/Resources; elsewhere the resource directory stands beside the
// binary and the bundle directory is the binary's directory.
struct Location
{
    QString resourceDirectory;
    QString bundleDirectory;
};

// The running application's bundle.
Location mainBundle();

// Candidate stamp paths, standardised, each kept the first time it is seen: the resource
// directory's "stamp", the bundle's Contents/Resources/stamp, then the resource lookups for
// "stamp" without and with an empty extension (present only when such a file exists).
QStringList resourceURLs(const Location &bundle);

// The enrolment key from stamp bytes: absent when the data is shorter than the magic plus
// 32 bytes, does not begin with the magic, is not UTF-8, or holds less than 32 bytes of text
// after trimming whitespace.
std::optional<QString> reveal(const QByteArray &data);

// The stamp bytes for a key (the packaging side of reveal). The key is written as given.
QByteArray conceal(const QString &key);

// Reads a candidate; absent unless it is a readable regular file that could be read.
using StampReader = std::function<std::optional<QByteArray>(const QString &path)>;
std::optional<QByteArray> readStampFile(const QString &path);

// The first key revealed by a candidate, in order; absent when none yields one.
std::optional<QString> enrollmentKey(const QStringList &candidates, const StampReader &read = readStampFile);

// The model's default enrolment key provider: the main bundle's stamp, read afresh on each call.
std::optional<QString> defaultEnrollmentKeyProvider();

} // namespace BundleStamp
