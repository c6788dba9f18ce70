#include "app/station/asrunrecord.h"

#include "playout/triggerslots.h"

#include <algorithm>

namespace vantor::app {

namespace {
// The outcome column: "sent", or why not (the History line without its prefix).
QString outcomeOf(const playout::FiringRecord &firing)
{
    if (firing.sent)
        return QStringLiteral("sent");
    QString why = firing.outcome;
    for (const QLatin1String prefix : {QLatin1String("***Fire Trigger. "), QLatin1String("***")}) {
        if (why.startsWith(prefix))
            return why.mid(prefix.size());
    }
    return why;
}
} // namespace

AsRunRecord::AsRunRecord(Write write, int replyTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_write(std::move(write))
    , m_replyTimeoutMs(replyTimeoutMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &AsRunRecord::expire);
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
    return {QStringLiteral("time"),  QStringLiteral("line"),    QStringLiteral("slot"),
            QStringLiteral("movie"), QStringLiteral("outcome"), QStringLiteral("reply code"),
            QStringLiteral("reply"), QStringLiteral("command")};
}

void AsRunRecord::fired(const playout::FiringRecord &record, const QString &lineAndEdge)
{
    if (m_rows.size() >= MaxWaiting) {
        for (Row &row : m_rows) {
            if (row.waiting) {
                giveUp(row, QStringLiteral("not recorded: too many firings waiting for replies"));
                break;
            }
        }
    }
    Row row;
    row.firing = record;
    row.lineAndEdge = record.test ? QStringLiteral("test fire") : lineAndEdge;
    if (record.sent) {
        row.waiting = true;
        row.deadline = QDateTime::currentMSecsSinceEpoch() + m_replyTimeoutMs;
    }
    m_rows.push_back(std::move(row));
    writeComplete();
    if (!m_timer.isActive()) // else it runs for an earlier row
        armTimer();
}

void AsRunRecord::replied(int code, const QByteArray &statusLine)
{
    if (m_lateReplies > 0) {
        --m_lateReplies;
        return;
    }
    for (Row &row : m_rows) {
        if (row.waiting) {
            row.waiting = false;
            row.code = code < 0 ? QString() : QString::number(code);
            row.reply = QString::fromUtf8(statusLine.left(MaxReply));
            writeComplete();
            armTimer();
            return;
        }
    }
}

void AsRunRecord::connectionEnded()
{
    m_lateReplies = 0;
    for (Row &row : m_rows) {
        if (row.waiting) {
            row.waiting = false;
            row.reply = QStringLiteral("no reply: the connection ended");
        }
    }
    writeComplete();
    armTimer();
}

void AsRunRecord::giveUp(Row &row, const QString &why)
{
    row.waiting = false;
    row.reply = why;
    ++m_lateReplies;
}

void AsRunRecord::expire()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (Row &row : m_rows) {
        if (row.waiting && row.deadline <= now)
            giveUp(row, QStringLiteral("no reply within %1 s").arg(m_replyTimeoutMs / 1000.0));
    }
    writeComplete();
    armTimer();
}

void AsRunRecord::writeComplete()
{
    while (!m_rows.empty() && !m_rows.front().waiting) {
        const Row &row = m_rows.front();
        const playout::FiringRecord &f = row.firing;
        m_write(f.when.toMSecsSinceEpoch(),
                {row.lineAndEdge, playout::TriggerSlots::conditionName(f.slot), f.movie, outcomeOf(f), row.code,
                 row.reply, f.command});
        m_rows.pop_front();
    }
}

void AsRunRecord::armTimer()
{
    for (const Row &row : m_rows) {
        if (row.waiting) {
            m_timer.start(
                int(std::clamp<qint64>(row.deadline - QDateTime::currentMSecsSinceEpoch(), 0, m_replyTimeoutMs)));
            return;
        }
    }
    m_timer.stop();
}

} // namespace vantor::app
