#pragma once

#include "playcommand.h"

#include "errortrap/errortrap.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

class QLabel;

namespace vantor {
class Procedure;
}

namespace vantor::playout {

class CasparConnection;
class TriggerSlots;

// What one firing did, for records kept outside the window (an as-run log). Handed over after
// the command has been sent and the History line written.
struct FiringRecord
{
    QDateTime when;    // local time the firing began
    qint16 slot = 0;   // 0 to 5
    bool test = false; // fired by the operator to check the slot, not by a line change
    QString movie;     // the slot's movie as it was sent (or would have been)
    bool sent = false;
    QString outcome; // the History line of the outcome
    enum class Result {
        Sent,         // the command went to the socket
        NotReady,     // no connection to the server
        EmptyMovie,   // the slot has no movie
        InvalidMovie, // the movie would break the command line
        NotSent,      // the socket refused the command
    };
    Result result = Result::NotSent;
    std::chrono::steady_clock::time_point sentAt; // when the command was handed over (Sent only)
};

// Fires trigger slots: sends the slot's movie to the server as a play command and records
// the outcome in the History log and in the top strip's last-trigger label.
class Firing
{
public:
    struct Controls
    {
        QLabel *lblLASTTRINGER = nullptr;
        std::function<void(const QString &message)> setStatus;
    };
    using Record = std::function<void(const FiringRecord &record)>;

    Firing(Controls controls, ErrorTrap &trap, const TriggerSlots &triggers, CasparConnection &connection);

    // Fires slot triggerid (0 to 5), armed or not: the caller has decided that it fires.
    void FIREME(qint16 triggerid);
    // The operator's check of slot triggerid (0 to 5) before air ("Play now"): a History line
    // says that a test fire follows, then the slot fires as FIREME fires it, with the same
    // lines; its record is marked as a test.
    void testFire(qint16 triggerid);

    // Tells `record` of every firing, after its outcome is logged, until it is set empty for
    // the same owner. Several owners are told in the order they were first set.
    void setRecord(const void *owner, Record record);

private:
    void fire(qint16 triggerid, bool test);
    void run(Procedure &p, qint16 triggerid, const std::function<void(const QString &)> &status, FiringRecord &record);

    Controls m_controls;
    ErrorTrap &m_trap;
    const TriggerSlots &m_triggers;
    CasparConnection &m_connection;
    PlayCommand m_command;
    std::vector<std::pair<const void *, Record>> m_records; // window thread
};

} // namespace vantor::playout
