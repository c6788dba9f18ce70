#pragma once

#include <QByteArray>
#include <QByteArrayList>

namespace vantor::playout {

// Reads the server's replies and picks out the failures.
//
// Every reply starts with a line "NNN text". 200 is followed by data lines up to an empty
// line, 201 by one data line, 400 by one line echoing the command. Replies are told apart by
// their three-digit code only (the words differ between server versions); a code of 400 or
// more is a failure. Each reply answers the oldest command that has none yet.
//
// Re-synchronising: a server that leaves a reply unfinished (a 200 without its empty line, a
// 201 without its data line, a 400 without its echo) would have the replies that follow read
// as that reply's data, and their failures lost. The commands this program sends (sent())
// are answered by a status line alone, and their echo is a command line, never a status
// line. So while the reply being read answered one of our commands, or one of our commands
// still waits for its reply, a line with a status code always starts a new reply, wherever
// the unfinished reply expected data or an echo. Replies that answer no command of ours are
// read by their framing alone.
class AmcpReplies
{
public:
    // Longest line kept; the rest of a longer line is dropped.
    static constexpr qsizetype MaxLine = 64 * 1024;

    // One reply, by its status line.
    struct Reply
    {
        int code = -1; // the three-digit code, -1 for a line that carries none
        QByteArray line;
        bool failed() const { return code >= 400; }
    };

    // Counts commands written to the server, each owed one reply.
    void sent(int commands = 1);

    // Feeds received bytes; returns the replies they complete, in order.
    QList<Reply> read(const QByteArray &bytes);
    // The same, keeping only the status lines of failures.
    QByteArrayList feed(const QByteArray &bytes);

    // Forgets a partial line, any reply in progress and the commands sent (a new connection).
    void reset();

private:
    enum class Expect { Status, DataBlock, DataLine, Echo };

    void takeLine(QByteArray line, QList<Reply> &replies);

    QByteArray m_partial;
    Expect m_expect = Expect::Status;
    int m_owed = 0;             // commands sent that no reply has answered yet
    bool m_framingOurs = false; // the reply whose data or echo is expected answered one of our commands
};

} // namespace vantor::playout
