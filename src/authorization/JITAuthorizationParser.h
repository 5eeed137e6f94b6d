#pragma once

#include "model/ModelTypes.h"

#include <QString>
#include <QStringView>
#include <QUrl>

#include <functional>
#include <optional>

// Recognises a just-in-time workspace authorization request in the output of one setup run,
// either as the account-created / e-mail / password lines followed by the authorization URL,
// or as a single JSON event line. One parser per run; it redacts nothing and logs nothing.
class JITAuthorizationOutputParser
{
public:
    // Takes one trimmed output line, in output order.
    std::optional<JITWorkspaceAuthorization> consume(const QString &line);

    // A complete JSON authorization event, or nothing.
    static std::optional<JITWorkspaceAuthorization> jsonEvent(const QString &line);

    // The URL when it is an authorization page of the provider that sends the owner back to
    // the onboarding service; nothing otherwise.
    static std::optional<QUrl> validatedAuthorizationURL(const QString &string, const QString &provider);

    // User-perceived characters (extended grapheme clusters).
    static qsizetype characterCount(QStringView text);

    std::optional<QString> pendingProvider;
    std::optional<QString> pendingEmail;
    std::optional<QString> pendingPassword;
};

// The interceptor a process run offers every output line to (CLIService::LineInterceptor): a
// parser of its own for the run, which takes the line that completes an authorization request out
// of the output and hands the request to `onAuthorization`.
std::function<bool(const QString &)>
authorizationInterceptor(std::function<void(const JITWorkspaceAuthorization &)> onAuthorization);
