// quorvantis-stamp: writes the bundle's "stamp" resource from an enrolment key at packaging time.
//
//   quorvantis-stamp KEY_FILE OUTPUT     (KEY_FILE "-" reads the key from standard input)
//
// The key is trimmed of surrounding whitespace and must hold at least 32 bytes, the least the
// application accepts; a shorter one would give a bundle that silently cannot enrol.

#include "setup/BundleStamp.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTextStream>

#include <cstdio>

namespace {

int failWith(const QString &message)
{
    QTextStream(stderr) << "quorvantis-stamp: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return failWith(QStringLiteral("usage: quorvantis-stamp KEY_FILE OUTPUT"));
    const QString keyPath = QString::fromLocal8Bit(argv[1]);
    const QString outputPath = QString::fromLocal8Bit(argv[2]);

    QFile keyFile;
    const bool opened = keyPath == QStringLiteral("-") ? keyFile.open(stdin, QIODevice::ReadOnly)
                                                       : (keyFile.setFileName(keyPath), keyFile.open(QIODevice::ReadOnly));
    if (!opened)
        return failWith(QStringLiteral("cannot read the key file"));
    const QByteArray raw = keyFile.read(64 * 1024);
    if (keyFile.error() != QFileDevice::NoError)
        return failWith(QStringLiteral("cannot read the key file"));

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString key = QString(decoder.decode(raw)).trimmed();
    if (decoder.hasError())
        return failWith(QStringLiteral("the key is not UTF-8 text"));
    if (key.toUtf8().size() < BundleStamp::minimumKeyBytes)
        return failWith(QStringLiteral("the key must hold at least %1 bytes").arg(BundleStamp::minimumKeyBytes));

    const QByteArray stamp = BundleStamp::conceal(key);
    if (BundleStamp::reveal(stamp) != key)
        return failWith(QStringLiteral("the stamp does not reveal the key again"));

    QSaveFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly) || output.write(stamp) != stamp.size() || !output.commit())
        return failWith(QStringLiteral("cannot write %1").arg(outputPath));
    // A bundle resource: readable like the rest of the bundle, written only by its owner.
    QFile::setPermissions(outputPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                          | QFileDevice::ReadOther);
    return 0;
}
