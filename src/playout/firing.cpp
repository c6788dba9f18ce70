#include "firing.h"

#include "preloader.h"
#include "triggerslots.h"

#include "errortrap/procedure.h"

#include <QLabel>

#include <algorithm>

namespace vantor::playout {

namespace {
constexpr Location FireLocation{"frmMAIN", "FIREME"};
} // namespace

Firing::Firing(Controls controls, ErrorTrap &trap, const TriggerSlots &triggers, CasparServers servers)
    : m_controls(std::move(controls))
    , m_trap(trap)
    , m_triggers(triggers)
    , m_servers(servers)
{
}

void Firing::setRecord(const void *owner, Record record)
{
    const auto it =
        std::find_if(m_records.begin(), m_records.end(), [owner](const auto &r) { return r.first == owner; });
    if (!record) {
        if (it != m_records.end())
            m_records.erase(it);
    } else if (it != m_records.end()) {
        it->second = std::move(record);
    } else {
        m_records.emplace_back(owner, std::move(record));
    }
}

void Firing::FIREME(qint16 triggerid)
{
    std::optional<Clock::time_point> contact;
    if (m_contactTime)
        contact = m_contactTime();
    fire(triggerid, contact.value_or(Clock::now()), false);
}

void Firing::testFire(qint16 triggerid)
{
    const Clock::time_point click = Clock::now();
    m_controls.setStatus(QStringLiteral("Test fire of ") + TriggerSlots::conditionName(triggerid));
    fire(triggerid, click, true);
}

// This is the on-air road: everything before the send is a few reads, and the command is
// built into a buffer that is kept between firings.
void Firing::fire(qint16 triggerid, Clock::time_point contact, bool test)
{
    const qint64 began = QDateTime::currentMSecsSinceEpoch(); // a clock read; converted only for a record
    Outcome outcome;
    {
        Procedure p(m_trap, FireLocation, 256);
        run(p, triggerid, contact, outcome);
    }
    // A background the command used up or cleared is loaded again, after the cue.
    for (int server = 0; server < m_servers.count() && m_preloader; ++server) {
        if (outcome.sent[server])
            m_preloader->slotSent(triggerid, server);
    }
    if (!m_controls.record && m_records.empty())
        return;
    const auto others = m_records; // a listener may set its record again
    for (int server = 0; server < m_servers.count(); ++server) {
        if (outcome.line[server].isNull())
            continue;
        const bool withMovie = m_triggers.command(triggerid).needsMovie();
        FiringRecord record;
        record.when = QDateTime::fromMSecsSinceEpoch(began);
        record.number = ++m_recordsMade;
        record.slot = triggerid;
        record.test = test;
        record.movie = withMovie ? m_triggers.movie(triggerid) : QString();
        record.sent = outcome.sent[server];
        record.outcome = outcome.line[server];
        record.server = server;
        record.reply = outcome.reply[server];
        record.command = outcome.command[server];
        record.result = outcome.result[server];
        record.sentAt = outcome.sentAt[server];
        record.address = m_triggers.command(triggerid).address;
        record.preloaded = outcome.preloaded[server];
        record.contact = contact;
        if (m_watchOnAir && record.sent && withMovie)
            record.onAir = std::make_shared<PendingOnAir>();
        if (m_controls.record)
            m_controls.record(record);
        for (const auto &[owner, tell] : others)
            tell(record);
    }
}

void Firing::run(Procedure &p, qint16 triggerid, Clock::time_point contact, Outcome &outcome)
{
    QLabel *last = m_controls.lblLASTTRINGER;
    const int servers = m_servers.count();
    // One History line per server; the backup's says so.
    using Result = FiringRecord::Result;
    const auto status = [&](int server, const QString &line) {
        outcome.line[server] = line + CasparServers::suffix(server);
        m_controls.setStatus(outcome.line[server]);
    };
    const auto everyServer = [&](const QString &line, Result result) {
        for (int server = 0; server < servers; ++server) {
            outcome.result[server] = result;
            status(server, line);
        }
    };
    // Builds the line for the server (a pre-loaded clip makes it a bare PLAY) and sends it, or
    // keeps why the server refused it.
    const auto send = [&](int server) {
        const bool preloaded = m_preloader && m_preloader->confirmed(triggerid, server);
        if (!build(triggerid, preloaded))
            return false;
        auto reply = std::make_shared<PendingReply>();
        const CasparConnection::Sending sending = m_servers.at(server).send(
            m_command.bytes(), [reply](const CommandReply &r) { reply->deliver(r); }, contact);
        if (!sending) {
            outcome.refusal[server] = sending.refusal;
            return true;
        }
        outcome.sentAt[server] = std::chrono::steady_clock::now();
        outcome.reply[server] = reply;
        outcome.sent[server] = true;
        outcome.preloaded[server] = preloaded;
        outcome.command[server] = m_command.text();
        outcome.result[server] = Result::Sent;
        return true;
    };

    // Ready while answering (the classic state 1, open, would count the same); the state is read
    // per comparison. A backup that is ready takes the command even when the main one is not.
    std::array<bool, 2> ready{};
    ready[0] = p.test(257, [&] {
        return m_servers.main().state() == CasparConnection::Connected
            || m_servers.main().state() == CasparConnection::Open;
    });
    ready[1] = servers > 1 && m_servers.isReady(CasparServers::Backup);
    if (ready[0] || ready[1]) {
        if (p.test(258, [&] { return m_triggers.canFire(triggerid); })) {
            // A movie that would break the command line is never sent.
            bool valid = true;
            p.step(259, [&] {
                valid = build(triggerid, false);
                if (valid && ready[0])
                    valid = send(CasparServers::Main);
            });
            if (valid && ready[1])
                p.step(259, [&] { send(CasparServers::Backup); });
            if (valid) {
                for (int server = 0; server < servers; ++server) {
                    if (!ready[server])
                        outcome.result[server] = Result::NotReady;
                    p.step(260, [&] {
                        if (!ready[server])
                            status(server, QStringLiteral("***Fire Trigger. Caspar not ready"));
                        else if (!outcome.refusal[server].isNull())
                            status(server, QStringLiteral("***Fire Trigger. not sent: ") + outcome.refusal[server]);
                        else
                            status(server, firedLine(triggerid, outcome.preloaded[server]));
                    });
                }
                p.mark(261);
                const bool anySent = outcome.sent[0] || outcome.sent[1];
                if (triggerid >= 0 && triggerid < TriggerSlots::Count && anySent) {
                    const int caseLine = 262 + 2 * triggerid;
                    p.mark(caseLine);
                    p.step(caseLine + 1, [&] { last->setText(TriggerSlots::conditionName(triggerid)); });
                } else if (!outcome.refusal[0].isNull() || !outcome.refusal[1].isNull()) {
                    p.step(281, [&] { last->setText(QStringLiteral("***Not sent")); });
                } else if (!ready[0]) {
                    p.step(281, [&] { last->setText(QStringLiteral("***Caspar not ready")); });
                }
                p.mark(274);
            } else {
                p.step(259,
                       [&] { everyServer(QStringLiteral("***Fire Trigger. Invalid movie"), Result::InvalidMovie); });
                p.step(259, [&] { last->setText(QStringLiteral("***Invalid movie")); });
            }
        } else {
            p.mark(275);
            p.step(276, [&] { everyServer(QStringLiteral("***Fire Trigger. Empty movie"), Result::EmptyMovie); });
            p.step(277, [&] { last->setText(QStringLiteral("***Empty movie")); });
        }
        p.mark(278);
    } else {
        p.mark(279);
        p.step(280, [&] { everyServer(QStringLiteral("***Fire Trigger. Caspar not ready"), Result::NotReady); });
        p.step(281, [&] { last->setText(QStringLiteral("***Caspar not ready")); });
    }
    p.mark(282);
    p.exit(283);
}

bool Firing::build(qint16 triggerid, bool preloaded)
{
    const SlotCommand &command = m_triggers.command(triggerid);
    const SlotAddress at = command.address;
    switch (command.action) {
    case SlotAction::Stop: return m_command.build(PlayCommand::Verb::Stop, at);
    case SlotAction::Clear: return m_command.build(PlayCommand::Verb::Clear, at);
    case SlotAction::Play:
    case SlotAction::PlayPreloaded: break;
    }
    if (command.isDefault())
        return m_command.build(m_triggers.movie(triggerid)); // the classic line, byte for byte
    if (preloaded)
        return m_command.build(PlayCommand::Verb::Play, at); // bare: what is loaded goes on air
    return m_command.build(PlayCommand::Verb::Play, at, m_triggers.movie(triggerid));
}

QString Firing::firedLine(qint16 triggerid, bool preloaded) const
{
    const SlotCommand &command = m_triggers.command(triggerid);
    const QString at = command.address.text();
    switch (command.action) {
    case SlotAction::Stop: return QStringLiteral("Fire Trigger. Stop ") + at;
    case SlotAction::Clear: return QStringLiteral("Fire Trigger. Clear ") + at;
    case SlotAction::Play:
    case SlotAction::PlayPreloaded: break;
    }
    const QString movie = m_triggers.movie(triggerid);
    if (command.isDefault())
        return QStringLiteral("Fire Trigger. Play movie ") + movie;
    if (preloaded)
        return QStringLiteral("Fire Trigger. Play pre-loaded movie %1 on %2").arg(movie, at);
    QString line = QStringLiteral("Fire Trigger. Play movie %1 on %2").arg(movie, at);
    if (command.action == SlotAction::PlayPreloaded)
        line += QStringLiteral(", not pre-loaded: sent in full");
    return line;
}

} // namespace vantor::playout
