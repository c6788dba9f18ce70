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
        m_controls.record(FiringRecord{QDateTime::fromMSecsSinceEpoch(began), triggerid, test,
                                       m_triggers.movie(triggerid), sent, outcome});
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
        if (p.test(258, [&] { return !m_triggers.movie(triggerid).isEmpty(); })) {
            // A movie that would break the command line is never sent.
            bool valid = true;
            p.step(259, [&] {
                valid = m_command.build(m_triggers.movie(triggerid));
                if (valid) {
                    m_connection.send(m_command.bytes());
                    sent = true;
                }
            });
            if (valid) {
                p.step(260, [&] { status(QStringLiteral("Fire Trigger. Play movie ") + m_triggers.movie(triggerid)); });
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

} // namespace vantor::playout
