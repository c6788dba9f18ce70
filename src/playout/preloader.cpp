#include "preloader.h"

#include "amcpreplies.h"

namespace vantor::playout {

struct Preloader::Shared
{
    std::array<std::array<Entry, 2>, TriggerSlots::Count> entries; // [slot][server]
    std::function<void(const QString &)> setStatus;
};

Preloader::Preloader(const TriggerSlots &triggers, CasparServers servers,
                     std::function<void(const QString &)> setStatus)
    : m_triggers(triggers)
    , m_servers(servers)
    , m_shared(std::make_shared<Shared>())
{
    m_shared->setStatus = std::move(setStatus);
}

// Handlers still waiting find no one behind them and do nothing.
Preloader::~Preloader() = default;

bool Preloader::wanted(int index) const
{
    return m_triggers.armed(index) && m_triggers.command(index).action == SlotAction::PlayPreloaded
        && !m_triggers.movie(index).isEmpty();
}

bool Preloader::confirmed(int index, int server) const
{
    return m_shared->entries.at(size_t(index)).at(size_t(server)).load == Load::Confirmed;
}

void Preloader::slotChanged(int index)
{
    for (int server = 0; server < m_servers.count(); ++server) {
        Entry &entry = m_shared->entries.at(size_t(index)).at(size_t(server));
        entry.load = Load::None;
        ++entry.generation;
        load(index, server);
    }
}

void Preloader::serverReady(int server)
{
    for (int index = 0; index < TriggerSlots::Count; ++index) {
        Entry &entry = m_shared->entries.at(size_t(index)).at(size_t(server));
        entry.load = Load::None; // a new connection: the server may have restarted
        ++entry.generation;
        load(index, server);
    }
}

void Preloader::slotSent(int index, int server)
{
    const SlotCommand &sent = m_triggers.command(index);
    if (sent.action == SlotAction::Stop)
        return; // the background stays
    const bool wholeChannel = sent.action == SlotAction::Clear && !sent.address.hasLayer();
    for (int other = 0; other < TriggerSlots::Count; ++other) {
        const SlotAddress at = m_triggers.command(other).address;
        if (at.channel == sent.address.channel
            && (wholeChannel || at.effectiveLayer() == sent.address.effectiveLayer()))
            reload(other, server);
    }
}

void Preloader::reload(int index, int server)
{
    Entry &entry = m_shared->entries.at(size_t(index)).at(size_t(server));
    entry.load = Load::None;
    ++entry.generation;
    load(index, server);
}

void Preloader::load(int index, int server)
{
    if (!wanted(index) || !m_servers.isReady(server))
        return;
    const SlotCommand &command = m_triggers.command(index);
    const QString movie = m_triggers.movie(index);
    if (!m_command.build(PlayCommand::Verb::LoadBackground, command.address, movie))
        return; // a movie that cannot be sent; its firing says so
    Entry &entry = m_shared->entries.at(size_t(index)).at(size_t(server));
    entry.load = Load::Waiting;
    const quint64 generation = ++entry.generation;
    const QString what = QStringLiteral("%1 pre-load of %2 on %3")
                             .arg(TriggerSlots::conditionName(index), movie, command.address.text());
    std::weak_ptr<Shared> weak = m_shared;
    const auto onReply = [weak, index, server, generation, what](const CommandReply &reply) {
        const auto shared = weak.lock();
        if (!shared)
            return;
        Entry &entry = shared->entries.at(size_t(index)).at(size_t(server));
        if (entry.generation != generation)
            return; // a load that was started over
        const bool ok = reply.answered && reply.code >= 200 && reply.code < 300
            && AmcpReplies::verbOf(reply.statusLine) == "LOADBG";
        entry.load = ok ? Load::Confirmed : reply.answered ? Load::Failed : Load::None;
        if (reply.answered && !ok && shared->setStatus)
            shared->setStatus(QStringLiteral("***%1 failed: %2%3")
                                  .arg(what, QString::fromUtf8(reply.statusLine), CasparServers::suffix(server)));
    };
    if (!m_servers.at(server).send(m_command.bytes(), onReply))
        entry.load = Load::None; // not ready or saturated: its cue goes out in full
}

} // namespace vantor::playout
