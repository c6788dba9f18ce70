#pragma once

#include "playout/firing.h"

#include <QObject>

#include <deque>
#include <functional>

namespace vantor::app {

// The as-run record: one CSV row per firing and server, with that server's reply to its command and,
// last, the command line as it was sent (new columns go at the end, so readers of the older
// ones keep working).
//
// Each sent command carries its own reply (FiringRecord::reply), which its connection hands
// over exactly once: the reply itself, or why none came (no answer within the connection's
// deadline, the connection ended). So a reply is never credited to another firing, whatever
// was lost before it. Rows are written in the order of their firings, each as soon as it and
// every row before it are complete.
//
// With on-air confirmation two columns follow: `on air ms` (from the send to the server's
// report that showed the clip) and `on air` ("confirmed", or "not confirmed: REASON"), empty
// for a firing that was not watched (not sent, Stop, Clear). A watched firing's row waits for
// its verdict as well (FiringRecord::onAir), which comes within the confirmation's deadline.
class AsRunRecord : public QObject
{
    Q_OBJECT

public:
    // Hands over one row: the firing's time and the other columns.
    using Write = std::function<void(qint64 atMsecs, QStringList columns)>;

    // Rows held back behind one still waiting, at most; beyond that the oldest is written as is.
    static constexpr size_t MaxWaiting = 1024;
    // Longest reply text kept in a row.
    static constexpr qsizetype MaxReply = 256;

    explicit AsRunRecord(Write write, bool onAirColumns = false, QObject *parent = nullptr);
    // Writes the rows still waiting, saying that the program ended before their replies.
    ~AsRunRecord() override;

    // The names of the columns, the time first; the on-air columns last.
    static QStringList header(bool onAirColumns = false);

    // One firing on one server; lineAndEdge is the line and the level it changed to
    // ("CTS ON"), empty for a test fire.
    void fired(const playout::FiringRecord &record, const QString &lineAndEdge);

private:
    struct Row
    {
        quint64 number = 0; // counted from 1 in firing order
        playout::FiringRecord firing;
        QString lineAndEdge;
        bool waiting = false;      // a command was sent and its reply has not come yet
        bool waitingOnAir = false; // its on-air verdict has not come yet
        QString code;              // the reply's code
        QString reply;             // the reply, or why there is none
        QString ms;                // milliseconds from the send to the reply
        QString onAirMs;           // milliseconds from the send to the report that showed it on air
        QString onAir;             // "confirmed", "not confirmed: ..."
    };

    Row *find(quint64 number);
    void complete(quint64 number, const playout::CommandReply &reply);
    void completeOnAir(quint64 number, const playout::OnAirVerdict &verdict);
    void writeComplete();

    Write m_write;
    const bool m_onAirColumns;
    std::deque<Row> m_rows; // firing order; the front ones wait for a reply or behind one
    quint64 m_fired = 0;    // rows made so far
};

} // namespace vantor::app
