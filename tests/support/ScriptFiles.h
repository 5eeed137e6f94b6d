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

// A program run to its end: its exit code (-1: it crashed or did not end in time) and its output.
struct Finished
{
    int exitCode = -1;
    QString out, err;
};
inline Finished runProgram(const QString &program, const QStringList &arguments,
                           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                           int timeoutMs = 240000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.closeWriteChannel();
    const bool ended = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// bash -n on the script, with nothing left unsubstituted; the diagnostics when it fails.
inline bool parses(const QString &script, QString *diagnostics)
{
    static const QRegularExpression placeholder(QStringLiteral("@[A-Z_]+@"));
    const bool substituted = !script.contains(placeholder);
    const Finished bash = runProgram(QStringLiteral("/bin/bash"), {QStringLiteral("-n"), QStringLiteral("-c"), script});
    *diagnostics = bash.err + (substituted ? QString() : QStringLiteral("unsubstituted placeholder"));
    return bash.exitCode == 0 && substituted;
}

// Runs one shell function of a generated script on its own, with one argument; its output.
inline QString callFunction(const QString &script, const QString &name, const QString &argument)
{
    const QRegularExpression function(QRegularExpression::escape(name) + QStringLiteral("\\(\\) \\{\\n.*?\\n\\}\\n"),
                                      QRegularExpression::DotMatchesEverythingOption);
    const QString definition = function.match(script).captured(0);
    if (definition.isEmpty())
        return QStringLiteral("<no function %1>").arg(name);
    return runProgram(QStringLiteral("/bin/bash"), {"-c", definition + name + " \"$1\"", name, argument}).out;
}

} // namespace QuorvantisTest
