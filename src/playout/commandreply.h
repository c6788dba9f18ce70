#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace vantor::playout {

// The outcome of one command: the server's reply to it, or why none will come.
struct CommandReply
{
    // Longest status line handed on; the rest is dropped.
    static constexpr qsizetype MaxLine = 256;

    bool answered = false;
    int code = -1;         // the three-digit code, -1 without one (or without a reply)
    QByteArray statusLine; // at most MaxLine bytes
    double ms = 0;         // from the send to the reply (or to the end of the waiting)
    QString noReply{};     // without a reply, why: "no answer for 1.5 s", "the connection ended", ...
};

// Called exactly once per command sent with it, on the window thread.
using ReplyHandler = std::function<void(const CommandReply &reply)>;

} // namespace vantor::playout
