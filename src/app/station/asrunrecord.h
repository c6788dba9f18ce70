#pragma once

#include "playout/firing.h"

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace vantor::app {

// The as-run record: one CSV row per firing, with the server's reply to its command and, last,
// the command line as it was sent (new columns go at the end, so readers of the older ones
// keep working).
//
// The server answers commands in the order they were sent, so replies are matched first in,
// first out to the firings that sent a command. A row is complete when its reply arrives, when
// the connection ends first, or after replyTimeoutMs; rows are written in the order of their
// firings, each as soon as it and every row before it are complete. A reply that comes after
// its row gave up is recognised by its place in the order and passed over.
class AsRunRecord : public QObject
{
    Q_OBJECT

public:
    // Hands over one row: the firing's time and the other columns.
    using Write = std::function<void(qint64 atMsecs, QStringList columns)>;

    static constexpr int DefaultReplyTimeoutMs = 10000;
    // Firings waiting for their replies, at most; beyond that the oldest gives up.
    static constexpr size_t MaxWaiting = 1024;
    // Longest reply text kept in a row.
    static constexpr qsizetype MaxReply = 256;

    explicit AsRunRecord(Write write, int replyTimeoutMs = DefaultReplyTimeoutMs, QObject *parent = nullptr);
    // Writes the rows still waiting, saying that the program ended before their replies.
    ~AsRunRecord() override;

    // The names of the columns, the time first.
    static QStringList header();

    // One firing; lineAndEdge is the line and the level it changed to ("CTS ON"), empty for
    // a test fire.
    void fired(const playout::FiringRecord &record, const QString &lineAndEdge);
    // Every reply of the server, in order.
    void replied(int code, const QByteArray &statusLine);
    // The connection ended: no reply will come to the commands sent on it.
    void connectionEnded();

private:
    struct Row
    {
        playout::FiringRecord firing;
        QString lineAndEdge;
        bool waiting = false; // a command was sent and its reply has not come yet
        QString code;         // the reply's code
        QString reply;        // the reply, or why there is none
        qint64 deadline = 0;  // msecs since epoch, while waiting
    };

    void giveUp(Row &row, const QString &why);
    void expire();
    void writeComplete();
    void armTimer();

    Write m_write;
    const int m_replyTimeoutMs;
    std::deque<Row> m_rows; // firing order; the front ones wait for a reply or behind one
    int m_lateReplies = 0;  // replies still to come for rows that gave up on them
    QTimer m_timer;         // the first waiting row's deadline
};

} // namespace vantor::app
