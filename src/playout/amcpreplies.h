#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <deque>

namespace vantor::playout {

// Reads the server's replies, matches each to the command it answers and picks out the
// failures.
//
// Every reply starts with a line "NNN text". 200 is followed by data lines up to an empty
// line, 201 by one data line, 400 by one line echoing the command. Replies are told apart by
// their three-digit code; a code of 400 or more is a failure. Each reply answers the oldest
// command that has none yet.
//
// Checking: a command sent with its verb (sent(verb)) must be answered by a status line that
// names that verb or names none of the commands this program sends ("202 PLAY OK",
// "404 PLAY FAILED", but also "400 ERROR", "504 QUEUE OVERFLOW"; the words after the verb
// differ between server versions and are not read). PING is answered by "PONG" (or, on older
// servers, "400 ERROR" and the echo "PING"). A 400's echo must begin with the verb of the
// command it answers. Anything else is a fault, reported on the reply it broke: a reply that
// names another of our verbs (a shifted, missing or duplicated reply), a line without a status
// where a reply was due (a stray or empty line), a wrong echo. Reading stops at a fault: the
// connection is not to be trusted any further. A reply with no command of ours waiting comes
// out with answers false; whoever sent the commands decides what that means.
//
// Re-synchronising: a server that leaves a reply unfinished (a 200 without its empty line, a
// 201 without its data line, a 400 without its echo) would have the replies that follow read
// as that reply's data, and their failures lost. The commands this program sends are answered
// by a status line alone, and their echo is a command line, never a status line. So while the
// reply being read answered one of our commands, or one of our commands still waits for its
// reply, a line with a status code always starts a new reply, wherever the unfinished reply
// expected data or an echo; so does "PONG" while a PING waits. Replies that answer no command
// of ours are read by their framing alone.
class AmcpReplies
{
public:
    // Longest line kept; the rest of a longer line is dropped.
    static constexpr qsizetype MaxLine = 64 * 1024;

    enum class Fault {
        None,
        OtherVerb, // the status line names another of our commands' verbs
        NoStatus,  // a line without a status where a reply was due
        WrongEcho, // a 400's echo is not of the command it answered
    };

    // One reply, by its status line (or, for WrongEcho, the echo line).
    struct Reply
    {
        int code = -1; // the three-digit code, -1 for a line that carries none
        QByteArray line;
        bool answers = false; // answers one of our commands
        Fault fault = Fault::None;
        bool failed() const { return code >= 400; }
    };

    // Counts commands written to the server, each owed one reply, whatever it says.
    void sent(int commands = 1);
    // One command written with its verb ("PLAY", "PING"): its reply is checked.
    void sent(QByteArrayView verb);

    // Feeds received bytes; returns the replies they complete, in order, up to and with the
    // first fault.
    QList<Reply> read(const QByteArray &bytes);
    // The same, keeping only the status lines of failures.
    QByteArrayList feed(const QByteArray &bytes);

    // Forgets a partial line, any reply in progress and the commands sent (a new connection).
    void reset();

    // The verb a status line names: its second word, upper case ("PLAY" of "202 play OK").
    static QByteArray verbOf(const QByteArray &statusLine);

private:
    enum class Expect { Status, DataBlock, DataLine, Echo };

    // Takes one line; false after a fault.
    bool takeLine(QByteArray line, QList<Reply> &replies);
    Reply startReply(int code, QByteArray line);

    QByteArray m_partial;
    Expect m_expect = Expect::Status;
    std::deque<QByteArray> m_owed; // verbs of commands no reply has answered yet; empty: unchecked
    bool m_framingOurs = false;    // the reply whose data or echo is expected answered one of our commands
    QByteArray m_echoOf;           // with Expect::Echo: the verb the echo must begin with; empty: any
    bool m_broken = false;         // a fault was read; nothing more is
};

} // namespace vantor::playout
