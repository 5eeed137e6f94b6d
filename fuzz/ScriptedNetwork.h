#pragma once

#include "net/BoundedHttp.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <functional>
#include <utility>
#include <vector>

// A network made of what the fuzz input scripts. It takes the place of net/BoundedHttp.cpp in
// the targets that link it (BoundedHttp's functions are defined here, nothing else changes):
// every exchange is recorded as the client sent it and answered at once from the script.
namespace ScriptedNetwork {

struct Request
{
    QByteArray method;
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers;
};

struct Answer
{
    enum class Failure { none, network, timedOut, tooLarge };

    int status = 200;
    QByteArray body;
    Failure failure = Failure::none;
};

// Answers every following request (the requests so far are forgotten).
void script(std::function<Answer(const Request &)> answer);
const std::vector<Request> &requests();

} // namespace ScriptedNetwork
