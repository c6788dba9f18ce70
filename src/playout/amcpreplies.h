#pragma once

#include <QByteArray>
#include <QByteArrayList>

namespace vantor::playout {

// Reads the server's replies and picks out the failures.
//
// Every reply starts with a line "NNN text". 200 is followed by data lines up to an empty
// line, 201 by one data line, 400 by one line echoing the command. Replies are told apart by
// their three-digit code only (the words differ between server versions); a code of 400 or
// more is a failure.
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

    // Feeds received bytes; returns the replies they complete, in order.
    QList<Reply> read(const QByteArray &bytes);
    // The same, keeping only the status lines of failures.
    QByteArrayList feed(const QByteArray &bytes);

    // Forgets a partial line and any reply in progress (a new connection).
    void reset();

private:
    enum class Expect { Status, DataBlock, DataLine, Echo };

    void takeLine(QByteArray line, QList<Reply> &replies);

    QByteArray m_partial;
    Expect m_expect = Expect::Status;
};

} // namespace vantor::playout
