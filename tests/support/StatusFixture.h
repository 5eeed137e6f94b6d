#pragma once

// What the tests of the service clients share: a temporary profile beside a real loopback
// server, the failure a request ended with as one word, and a watch on the log for secrets.

#include "support/AwaitTask.h"
#include "support/ControllerHarness.h"
#include "support/LoopbackHttpServer.h"

#include "net/BoundedHttp.h"
#include "process/QuorvantisNativeError.h"

namespace QuorvantisTest {

struct Served : TemporaryProfile
{
    LoopbackHttpServer server;
};

// A coded failure's code, a transport failure's kind, or `other` for the rest.
inline QString failureWord(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &coded) {
        return coded.code;
    } catch (const HttpTransportError &transport) {
        return QStringList{"network", "timed out", "too large"}.at(int(transport.kind));
    } catch (...) {
        return QStringLiteral("other");
    }
}

// Every message logged from the first call on (each still passed on as before).
inline const QStringList &loggedMessages()
{
    static QStringList all;
    static const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            all.append(message);
            if (previous)
                previous(type, context, message);
        });
    return all;
}

} // namespace QuorvantisTest
