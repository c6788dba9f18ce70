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

AsRunRecord::AsRunRecord(Write write, bool onAirColumns, QObject *parent)
    : QObject(parent)
    , m_write(std::move(write))
    , m_onAirColumns(onAirColumns)
{
}

AsRunRecord::~AsRunRecord()
{
    for (Row &row : m_rows) {
        if (row.waiting) {
            row.waiting = false;
            row.reply = QStringLiteral("no reply: the program ended");
        }
        if (std::exchange(row.waitingOnAir, false))
            row.onAir = QStringLiteral("not confirmed: the program ended");
    }
    writeComplete();
}

QStringList AsRunRecord::header(bool onAirColumns)
{
    QStringList names{QStringLiteral("time"),  QStringLiteral("line"),     QStringLiteral("slot"),
                      QStringLiteral("movie"), QStringLiteral("outcome"),  QStringLiteral("reply code"),
                      QStringLiteral("reply"), QStringLiteral("reply ms"), QStringLiteral("command")};
    if (onAirColumns)
        names << QStringLiteral("on air ms") << QStringLiteral("on air");
    return names;
}

void AsRunRecord::fired(const playout::FiringRecord &record, const QString &lineAndEdge)
{
    if (m_rows.size() >= MaxWaiting && (m_rows.front().waiting || m_rows.front().waitingOnAir)) {
        Row &front = m_rows.front();
        if (std::exchange(front.waiting, false))
            front.reply = QStringLiteral("not recorded: too many firings waiting for replies");
        if (std::exchange(front.waitingOnAir, false))
            front.onAir = QStringLiteral("not recorded: too many firings waiting");
        writeComplete();
    }
    Row row;
    row.number = ++m_fired;
    row.firing = record;
    row.lineAndEdge = record.test ? QStringLiteral("test fire") : lineAndEdge;
    row.waiting = record.sent && record.reply;
    row.waitingOnAir = m_onAirColumns && record.onAir;
    m_rows.push_back(std::move(row));
    // The connection and the confirmation may outlive this record, and may have told already.
    const auto self = QPointer<AsRunRecord>(this);
    if (m_rows.back().waiting) {
        record.reply->then([self, number = m_fired](const playout::CommandReply &reply) {
            if (self)
                self->complete(number, reply);
        });
    }
    if (m_rows.back().waitingOnAir) {
        record.onAir->then([self, number = m_fired](const playout::OnAirVerdict &verdict) {
            if (self)
                self->completeOnAir(number, verdict);
        });
    }
    writeComplete();
}

AsRunRecord::Row *AsRunRecord::find(quint64 number)
{
    for (Row &row : m_rows) {
        if (row.number == number)
            return &row;
    }
    return nullptr;
}

void AsRunRecord::complete(quint64 number, const playout::CommandReply &reply)
{
    Row *row = find(number);
    if (!row || !row->waiting)
        return;
    row->waiting = false;
    if (reply.answered) {
        row->code = reply.code < 0 ? QString() : QString::number(reply.code);
        row->reply = QString::fromUtf8(reply.statusLine.left(MaxReply));
    } else {
        row->reply = QStringLiteral("no reply: ") + reply.noReply;
    }
    row->ms = QString::number(reply.ms, 'f', 1);
    writeComplete();
}

void AsRunRecord::completeOnAir(quint64 number, const playout::OnAirVerdict &verdict)
{
    Row *row = find(number);
    if (!row || !row->waitingOnAir)
        return;
    row->waitingOnAir = false;
    if (verdict.confirmed()) {
        row->onAirMs = QString::number(verdict.ms, 'f', 1);
        row->onAir = QStringLiteral("confirmed");
    } else {
        row->onAir = QStringLiteral("not confirmed: ") + verdict.reason.left(MaxReply);
    }
    writeComplete();
}

void AsRunRecord::writeComplete()
{
    while (!m_rows.empty() && !m_rows.front().waiting && !m_rows.front().waitingOnAir) {
        const Row &row = m_rows.front();
        const playout::FiringRecord &f = row.firing;
        QStringList columns{row.lineAndEdge, playout::TriggerSlots::conditionName(f.slot),
                            f.movie,         outcomeOf(f),
                            row.code,        row.reply,
                            row.ms,          f.command};
        if (m_onAirColumns)
            columns << row.onAirMs << row.onAir;
        m_write(f.when.toMSecsSinceEpoch(), std::move(columns));
        m_rows.pop_front();
    }
}

} // namespace vantor::app
