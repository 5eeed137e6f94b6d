#pragma once

#include <QString>

#include <exception>
#include <optional>

// A failure with a stable code and a message the user may read (Chinese).
class QuorvantisNativeError : public std::exception
{
public:
    QuorvantisNativeError(QString code, QString message)
        : code(std::move(code)), message(std::move(message)), m_what(this->code.toUtf8())
    {
    }
    const char *what() const noexcept override { return m_what.constData(); }

    QString code;
    QString message;

private:
    QByteArray m_what;
};

// The outcome of one child process: its exit status and the last line that looked like an error.
struct CLIResult
{
    qint32 status = 0;
    std::optional<QString> lastErrorLine;

    bool operator==(const CLIResult &) const = default;
};
