#pragma once

#include "serial/service/portbackend.h"

#include <QStringList>

#include <mutex>
#include <vector>

// Remembers what a port backend reports, from whichever thread it reports it.
class RecordingSink : public vantor::serial::PortSink
{
public:
    void event(vantor::serial::CommEvent e) override
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(e));
    }
    void lost(qint32 number, const QString &description) override
    {
        std::lock_guard lock(m_mutex);
        m_lost << QStringLiteral("%1 %2").arg(number).arg(description);
    }
    void notice(const QString &line) override
    {
        std::lock_guard lock(m_mutex);
        m_notices << line;
    }

    // The bytes of every receive event, joined.
    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        QByteArray all;
        for (const auto &e : m_events)
            if (e.code == vantor::serial::comm::Receive)
                all += e.data;
        return all;
    }
    // "code:level" of every other event, in order.
    QStringList changes() const
    {
        std::lock_guard lock(m_mutex);
        QStringList list;
        for (const auto &e : m_events)
            if (e.code != vantor::serial::comm::Receive)
                list << QStringLiteral("%1:%2").arg(e.code).arg(e.level ? "on" : "off");
        return list;
    }
    QStringList lostReports() const
    {
        std::lock_guard lock(m_mutex);
        return m_lost;
    }
    QStringList notices() const
    {
        std::lock_guard lock(m_mutex);
        return m_notices;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_events.clear();
        m_lost.clear();
        m_notices.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<vantor::serial::CommEvent> m_events;
    QStringList m_lost;
    QStringList m_notices;
};
