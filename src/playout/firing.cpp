#include "firing.h"

#include "casparconnection.h"
#include "triggerslots.h"

#include "errortrap/procedure.h"

#include <QLabel>

#include <algorithm>

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
    FiringRecord record;
    const auto status = [&](const QString &line) {
        m_controls.setStatus(line);
        record.outcome = line;
    };
    {
        Procedure p(m_trap, FireLocation, 256);
        run(p, triggerid, status, record);
    }
    if (m_records.empty() || record.outcome.isNull())
        return;
    record.when = QDateTime::fromMSecsSinceEpoch(began);
    record.slot = triggerid;
    record.test = test;
    record.movie = m_triggers.movie(triggerid);
    for (const auto &[owner, tell] : std::vector(m_records)) // a listener may set its record again
        tell(record);
}

void Firing::run(Procedure &p, qint16 triggerid, const std::function<void(const QString &)> &status,
                 FiringRecord &record)
{
    using Result = FiringRecord::Result;
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
                    record.sentAt = std::chrono::steady_clock::now();
                    record.sent = true;
                    record.result = Result::Sent;
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
                record.result = Result::InvalidMovie;
                p.step(259, [&] { status(QStringLiteral("***Fire Trigger. Invalid movie")); });
                p.step(259, [&] { last->setText(QStringLiteral("***Invalid movie")); });
            }
        } else {
            p.mark(275);
            record.result = Result::EmptyMovie;
            p.step(276, [&] { status(QStringLiteral("***Fire Trigger. Empty movie")); });
            p.step(277, [&] { last->setText(QStringLiteral("***Empty movie")); });
        }
        p.mark(278);
    } else {
        p.mark(279);
        record.result = Result::NotReady;
        p.step(280, [&] { status(QStringLiteral("***Fire Trigger. Caspar not ready")); });
        p.step(281, [&] { last->setText(QStringLiteral("***Caspar not ready")); });
    }
    p.mark(282);
    p.exit(283);
}

} // namespace vantor::playout
