#pragma once

#include "model/ModelTypes.h"

#include <QString>

#include <exception>
#include <optional>

// How every failure the user should see is turned into what `fail` reports, and from there into
// the error panel's texts (DisplayError::from, defined in Failure.cpp).
namespace Failure {

// A failure as `fail` takes it: a stable code and, when there is one, a message the user may read.
struct Report
{
    QString code;
    std::optional<QString> message;
    bool operator==(const Report &) const = default;
};

// Any exception thrown through a flow. A coded error keeps its code and message (an empty message
// counts as none, so the panel shows the code's standard text); any other error (transport, file,
// decoding) carries no text meant for the user and is reported under `fallbackCode`.
Report from(const std::exception_ptr &error, const QString &fallbackCode);

// A run that ended with a non-zero status: `code` with the run's filtered last error line.
Report forExit(const QString &code, const CLIResult &result);

// A failure the setup run retries: the setup service could not finish for now. It agrees with the
// error panel's mapping, whose earlier rows win.
bool isTransient(const Report &report);

// The raw-message filter: trimmed; absent for nothing, an empty text, a text that contains
// "REDACTED" or begins with "QVAPP_"; otherwise its first 240 characters.
std::optional<QString> safeErrorMessage(const std::optional<QString> &text);

} // namespace Failure
