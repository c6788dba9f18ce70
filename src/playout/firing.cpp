#include "firing.h"

#include "casparconnection.h"
#include "triggerslots.h"

#include "errortrap/procedure.h"

#include <QLabel>

namespace vantor::playout {

namespace {
constexpr Location FireLocation{"frmMAIN", "FIREME"};
} // namespace

Firing::Firing(Controls controls, ErrorTrap &trap, const TriggerSlots &triggers, CasparConnection &connection)
    : m_controls(std::move(controls))
    , m_trap(trap)
    , m_triggers(triggers)
    , m_connection(connection)
{
}

void Firing::FIREME(qint16 triggerid)
{
    fire(triggerid, false);
}

void Firing::testFire(qint16 triggerid)
{
    m_controls.setStatus(QStringLiteral("Test fire of ") + TriggerSlots::conditionName(triggerid));
    fire(triggerid, true);
}

// This is the on-air road: everything before the send is a few reads, and the command is
// built into a buffer that is kept between firings.
void Firing::fire(qint16 triggerid, bool test)
{
    const qint64 began = QDateTime::currentMSecsSinceEpoch(); // a clock read; converted only for a record
    QString outcome;
    bool sent = false;
    const auto status = [&](const QString &line) {
        m_controls.setStatus(line);
        outcome = line;
    };
    {
        Procedure p(m_trap, FireLocation, 256);
        run(p, triggerid, status, sent);
    }
    if (m_controls.record && !outcome.isNull()) {
        const bool withMovie = m_triggers.command(triggerid).needsMovie();
        m_controls.record(FiringRecord{QDateTime::fromMSecsSinceEpoch(began), triggerid, test,
                                       withMovie ? m_triggers.movie(triggerid) : QString(), sent, outcome,
                                       sent ? m_command.text() : QString()});
    }
}

void Firing::run(Procedure &p, qint16 triggerid, const std::function<void(const QString &)> &status, bool &sent)
{
    QLabel *last = m_controls.lblLASTTRINGER;

    // Ready while connected (or open, which counts the same); the state is read per comparison.
    if (p.test(257, [&] {
            return m_connection.state() == CasparConnection::Connected
                || m_connection.state() == CasparConnection::Open;
        })) {
        if (p.test(258, [&] { return m_triggers.canFire(triggerid); })) {
            // A movie that would break the command line is never sent.
            bool valid = true;
            p.step(259, [&] {
                valid = build(triggerid);
                if (valid) {
                    m_connection.send(m_command.bytes());
                    sent = true;
                }
            });
            if (valid) {
                p.step(260, [&] { status(firedLine(triggerid)); });
                p.mark(261);
                if (triggerid >= 0 && triggerid < TriggerSlots::Count) {
                    const int caseLine = 262 + 2 * triggerid;
                    p.mark(caseLine);
                    p.step(caseLine + 1, [&] { last->setText(TriggerSlots::conditionName(triggerid)); });
                }
                p.mark(274);
            } else {
                p.step(259, [&] { status(QStringLiteral("***Fire Trigger. Invalid movie")); });
                p.step(259, [&] { last->setText(QStringLiteral("***Invalid movie")); });
            }
        } else {
            p.mark(275);
            p.step(276, [&] { status(QStringLiteral("***Fire Trigger. Empty movie")); });
            p.step(277, [&] { last->setText(QStringLiteral("***Empty movie")); });
        }
        p.mark(278);
    } else {
        p.mark(279);
        p.step(280, [&] { status(QStringLiteral("***Fire Trigger. Caspar not ready")); });
        p.step(281, [&] { last->setText(QStringLiteral("***Caspar not ready")); });
    }
    p.mark(282);
    p.exit(283);
}

bool Firing::build(qint16 triggerid)
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
    return m_command.build(PlayCommand::Verb::Play, at, m_triggers.movie(triggerid));
}

QString Firing::firedLine(qint16 triggerid) const
{
    const SlotCommand &command = m_triggers.command(triggerid);
    const QString at = command.address.text();
    switch (command.action) {
    case SlotAction::Stop: return QStringLiteral("Fire Trigger. Stop ") + at;
    case SlotAction::Clear: return QStringLiteral("Fire Trigger. Clear ") + at;
    case SlotAction::Play:
    case SlotAction::PlayPreloaded: break;
    }
    QString line = QStringLiteral("Fire Trigger. Play movie ") + m_triggers.movie(triggerid);
    if (command.isDefault())
        return line;
    line += QStringLiteral(" on ") + at;
    if (command.action == SlotAction::PlayPreloaded)
        line += QStringLiteral(", not pre-loaded: sent in full");
    return line;
}

} // namespace vantor::playout
