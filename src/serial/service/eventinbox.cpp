#include "eventinbox.h"

#include <algorithm>

namespace vantor::serial {

int EventInbox::lineIndex(qint16 code)
{
    switch (code) {
    case comm::Cts: return 0;
    case comm::Dsr: return 1;
    case comm::Cd: return 2;
    case comm::Ring: return 3;
    default: return -1;
    }
}

EventInbox::Session EventInbox::open()
{
    std::lock_guard lock(m_mutex);
    dropOthers();
    m_open = ++m_lastSession;
    m_receiveAllowance = MaxQueuedBytes;
    m_allowanceAt = Clock::now();
    return m_open;
}

void EventInbox::close()
{
    std::lock_guard lock(m_mutex);
    dropOthers();
    m_open = 0;
}

// Keeps the queued notices only: they tell what happened, whichever session it was.
void EventInbox::dropOthers()
{
    std::erase_if(m_items, [](const Item &item) { return item.kind != Item::Kind::Notice; });
    m_newestOfLine.fill(std::nullopt);
    m_queuedBytes = 0;
    m_lossQueued = false;
}

bool EventInbox::wake()
{
    return !std::exchange(m_wakePending, true);
}

EventInbox::Item &EventInbox::push(Item::Kind kind, Session session)
{
    Item &item = m_items.emplace_back();
    item.kind = kind;
    item.session = session;
    return item;
}

bool EventInbox::post(Session session, CommEvent event)
{
    std::lock_guard lock(m_mutex);
    if (session == Current)
        session = m_open;
    if (session == 0 || session != m_open)
        return false;
    const int line = lineIndex(event.code);
    if (line >= 0) {
        const std::optional<quint64> newest = m_newestOfLine[std::size_t(line)];
        if (m_items.size() >= MaxItems && newest && *newest >= m_frontSerial) {
            Item &item = m_items[std::size_t(*newest - m_frontSerial)];
            ++item.changes;
            item.event.level = event.level;
            item.event.when = event.when;
            ++m_counts.mergedChanges;
            return false; // the reader is due already: the queue is full
        }
        Item &item = push(Item::Kind::Event, session);
        item.firstLevel = event.level;
        item.firstWhen = event.when;
        item.event = std::move(event);
        m_newestOfLine[std::size_t(line)] = m_frontSerial + m_items.size() - 1;
        return wake();
    }
    if (event.code == comm::Receive) {
        const std::size_t before = m_items.size();
        const qsizetype queued = m_queuedBytes;
        postReceive(session, event);
        return (m_items.size() != before || m_queuedBytes != queued) && wake();
    }
    if (m_items.size() >= MaxItems) {
        ++m_counts.droppedEvents;
        return false;
    }
    push(Item::Kind::Event, session).event = std::move(event);
    return wake();
}

// Received bytes fill the newest receive event while it is the last item, then new ones.
void EventInbox::postReceive(Session session, CommEvent &event)
{
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - m_allowanceAt).count();
    m_allowanceAt = now;
    m_receiveAllowance = std::min<double>(MaxQueuedBytes, m_receiveAllowance + seconds * ReceiveRate);

    const qsizetype room = std::min(qsizetype(m_receiveAllowance), MaxQueuedBytes - m_queuedBytes);
    const qsizetype size = event.data.size();
    qsizetype at = 0;
    const qsizetype end = std::min(size, std::max<qsizetype>(room, 0));
    while (at < end) {
        Item *last = m_items.empty() ? nullptr : &m_items.back();
        const bool extend = last && last->kind == Item::Kind::Event && last->event.code == comm::Receive
            && last->event.data.size() < MaxEventBytes;
        if (!extend && m_items.size() >= MaxItems)
            break;
        if (!extend)
            push(Item::Kind::Event, session).event.code = comm::Receive;
        Item &item = m_items.back();
        const qsizetype part = std::min(end - at, MaxEventBytes - item.event.data.size());
        item.event.data.append(event.data.constData() + at, part);
        item.event.when = event.when;
        at += part;
    }
    m_queuedBytes += at;
    m_receiveAllowance -= double(at);
    m_counts.droppedBytes += quint64(size - at);
}

bool EventInbox::postNotice(Session session, QString line)
{
    std::lock_guard lock(m_mutex);
    if (session == Current)
        session = m_open;
    if (session == 0 || session != m_open)
        return false;
    if (m_items.size() >= MaxItems) {
        ++m_counts.droppedNotices;
        return false;
    }
    push(Item::Kind::Notice, session).text = std::move(line);
    return wake();
}

bool EventInbox::postLost(Session session, qint32 number, QString description)
{
    std::lock_guard lock(m_mutex);
    if (session == Current)
        session = m_open;
    if (session == 0 || session != m_open || m_lossQueued)
        return false;
    Item &item = push(Item::Kind::Lost, session);
    item.number = number;
    item.text = std::move(description);
    m_lossQueued = true;
    return wake();
}

std::optional<EventInbox::Item> EventInbox::take()
{
    std::lock_guard lock(m_mutex);
    if (m_items.empty()) {
        m_wakePending = false;
        return std::nullopt;
    }
    Item item = std::move(m_items.front());
    m_items.pop_front();
    ++m_frontSerial;
    if (item.kind == Item::Kind::Event && item.event.code == comm::Receive)
        m_queuedBytes -= item.event.data.size();
    else if (item.kind == Item::Kind::Lost)
        m_lossQueued = false;
    return item;
}

bool EventInbox::empty() const
{
    std::lock_guard lock(m_mutex);
    return m_items.empty();
}

EventInbox::Counts EventInbox::takeCounts()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_counts, Counts{});
}

} // namespace vantor::serial
