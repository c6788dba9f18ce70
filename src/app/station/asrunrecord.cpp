#include "app/station/asrunrecord.h"

#include "playout/triggerslots.h"

#include <QPointer>

namespace vantor::app {

namespace {
// The outcome column: "sent", or why not (the History line without its prefix); a backup
// server's rows say so, as its History lines do.
QString outcomeOf(const playout::FiringRecord &firing)
{
    const QString suffix = playout::CasparServers::suffix(firing.server);
    if (firing.sent)
        return QStringLiteral("sent") + suffix;
    QString why = firing.outcome;
    for (const QLatin1String prefix : {QLatin1String("***Fire Trigger. "), QLatin1String("***")}) {
        if (why.startsWith(prefix))
            return why.mid(prefix.size());
    }
    return why;
}
} // namespace

AsRunRecord::AsRunRecord(Write write, QObject *parent)
    : QObject(parent)
    , m_write(std::move(write))
{
}

AsRunRecord::~AsRunRecord()
{
    for (Row &row : m_rows) {
        if (row.waiting) {
            row.waiting = false;
            row.reply = QStringLiteral("no reply: the program ended");
        }
    }
    writeComplete();
}

QStringList AsRunRecord::header()
{
    return {QStringLiteral("time"),       QStringLiteral("line"),  QStringLiteral("slot"),
            QStringLiteral("movie"),      QStringLiteral("outcome"), QStringLiteral("reply code"),
            QStringLiteral("reply"),      QStringLiteral("reply ms")};
}

void AsRunRecord::fired(const playout::FiringRecord &record, const QString &lineAndEdge)
{
    if (m_rows.size() >= MaxWaiting && m_rows.front().waiting) {
        m_rows.front().waiting = false;
        m_rows.front().reply = QStringLiteral("not recorded: too many firings waiting for replies");
        writeComplete();
    }
    Row row;
    row.number = ++m_fired;
    row.firing = record;
    row.lineAndEdge = record.test ? QStringLiteral("test fire") : lineAndEdge;
    row.waiting = record.sent && record.reply;
    m_rows.push_back(std::move(row));
    if (m_rows.back().waiting) {
        // The connection may outlive this record, and may have answered already.
        record.reply->then([self = QPointer<AsRunRecord>(this), number = m_fired](const playout::CommandReply &reply) {
            if (self)
                self->complete(number, reply);
        });
    }
    writeComplete();
}

void AsRunRecord::complete(quint64 number, const playout::CommandReply &reply)
{
    for (Row &row : m_rows) {
        if (row.number != number || !row.waiting)
            continue;
        row.waiting = false;
        if (reply.answered) {
            row.code = reply.code < 0 ? QString() : QString::number(reply.code);
            row.reply = QString::fromUtf8(reply.statusLine.left(MaxReply));
        } else {
            row.reply = QStringLiteral("no reply: ") + reply.noReply;
        }
        row.ms = QString::number(reply.ms, 'f', 1);
        writeComplete();
        return;
    }
}

void AsRunRecord::writeComplete()
{
    while (!m_rows.empty() && !m_rows.front().waiting) {
        const Row &row = m_rows.front();
        const playout::FiringRecord &f = row.firing;
        m_write(f.when.toMSecsSinceEpoch(),
                {row.lineAndEdge, playout::TriggerSlots::conditionName(f.slot), f.movie, outcomeOf(f), row.code,
                 row.reply, row.ms});
        m_rows.pop_front();
    }
}

} // namespace vantor::app
