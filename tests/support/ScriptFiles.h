#pragma once

// Files and bash helpers for the tests that run the generated shell scripts for real.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace QuorvantisTest {

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable
           || QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// bash -n on the script, with nothing left unsubstituted; the diagnostics when it fails.
inline bool parses(const QString &script, QString *diagnostics)
{
    static const QRegularExpression placeholder(QStringLiteral("@[A-Z_]+@"));
    QProcess bash;
    bash.start(QStringLiteral("/bin/bash"), {QStringLiteral("-n")});
    bash.write(script.toUtf8());
    bash.closeWriteChannel();
    bash.waitForFinished(10000);
    *diagnostics = QString::fromUtf8(bash.readAllStandardError())
                   + (script.contains(placeholder) ? QStringLiteral("unsubstituted placeholder") : QString());
    return bash.exitStatus() == QProcess::NormalExit && bash.exitCode() == 0 && !script.contains(placeholder);
}

// Runs one shell function of a generated script on its own, with one argument; its output.
inline QString callFunction(const QString &script, const QString &name, const QString &argument)
{
    const QRegularExpression function(QRegularExpression::escape(name) + QStringLiteral("\\(\\) \\{\\n.*?\\n\\}\\n"),
                                      QRegularExpression::DotMatchesEverythingOption);
    const QString definition = function.match(script).captured(0);
    if (definition.isEmpty())
        return QStringLiteral("<no function %1>").arg(name);
    QProcess bash;
    bash.start(QStringLiteral("/bin/bash"),
               {QStringLiteral("-c"), definition + name + QStringLiteral(" \"$1\""), name, argument});
    bash.waitForFinished(10000);
    return QString::fromUtf8(bash.readAllStandardOutput());
}

} // namespace QuorvantisTest
