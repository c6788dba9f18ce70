#pragma once

#include "casparservers.h"
#include "playcommand.h"

#include "errortrap/errortrap.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QLabel;

namespace vantor {
class Procedure;
}

namespace vantor::playout {

class Preloader;
class TriggerSlots;

// A value that comes later (a command's reply, a firing's on-air verdict), whether it comes
// before or after someone asks for it. Each of its few readers (the as-run record, the status
// page, the metrics, the tally) is told once.
template <class T>
class Pending
{
public:
    // At most this many readers; one more is refused (then() returns false).
    static constexpr std::size_t MaxReaders = 4;

    // The producer's side: called once.
    void deliver(const T &value)
    {
        if (m_value)
            return;
        m_value = value;
        for (auto &handler : std::exchange(m_then, {}))
            handler(*m_value);
    }
    // handler is called once with the value: at once if it has come, else when it comes.
    bool then(std::function<void(const T &)> handler)
    {
        if (m_value) {
            handler(*m_value);
            return true;
        }
        if (m_then.size() >= MaxReaders)
            return false;
        m_then.push_back(std::move(handler));
        return true;
    }
    bool delivered() const { return m_value.has_value(); }

private:
    std::optional<T> m_value;
    std::vector<std::function<void(const T &)>> m_then;
};

// The reply to one sent command.
using PendingReply = Pending<CommandReply>;

// Whether the server's own state showed a firing's clip on air, and if not, why not.
struct OnAirVerdict
{
    // Why not: the server's state after the deadline (the order of OnAirRule's reasons), or it
    // was not looked at.
    enum class Outcome { Confirmed, NoState, Nothing, OtherClip, Paused, Stalled, NotWatched };
    Outcome outcome = Outcome::NotWatched;
    double ms = 0;                              // Confirmed: from the send to the report that showed it
    std::chrono::steady_clock::time_point at{}; // Confirmed: when that report came
    QString reason;                             // otherwise: "1-10 plays other.mov", "no state from the server"

    bool confirmed() const { return outcome == Outcome::Confirmed; }
};
using PendingOnAir = Pending<OnAirVerdict>;

// What one firing did on one server, for records kept outside the window (an as-run log). Handed over after
// the command has been sent and the History line written.
struct FiringRecord
{
    QDateTime when;    // local time the firing began
    qint16 slot = 0;   // 0 to 5
    bool test = false; // fired by the operator to check the slot, not by a line change
    QString movie;     // the slot's movie as it was sent (or would have been); empty for Stop, Clear
    bool sent = false;
    QString outcome;                     // the History line of the outcome
    int server = CasparServers::Main;    // which server this record is about
    std::shared_ptr<PendingReply> reply; // while sent: the server's reply to it
    QString command{};                   // the command line as sent, without its CR LF; empty when nothing was sent
    enum class Result {
        Sent,         // the command went to the socket
        NotReady,     // no connection to the server
        EmptyMovie,   // the slot has no movie
        InvalidMovie, // the movie would break the command line
        NotSent,      // refused: it could not begin to run within its bound, or the socket did not take it
    };
    Result result = Result::NotSent;
    std::chrono::steady_clock::time_point sentAt{};  // when the command was handed over (Sent only)
    SlotAddress address{};                           // where the slot's command went
    bool preloaded = false;                          // a bare PLAY of the clip loaded in the background
    std::chrono::steady_clock::time_point contact{}; // the line change that fired it, or the test fire's click
    // With on-air confirmation (setWatchOnAir), for a sent command with a clip: whether the
    // server showed it on air; whoever watches delivers it, within its deadline.
    std::shared_ptr<PendingOnAir> onAir{};
    quint64 number = 0; // this record's own: counted from 1 over the run, one per firing and server
};

// Fires trigger slots: sends the slot's command to the server (by default PLAY 1 and the
// slot's movie) and records the outcome in the History log and in the top strip's
// last-trigger label. A "Play pre-loaded" slot whose clip the Preloader has confirmed loaded
// on a server sends that server a bare PLAY c-l; else the full PLAY c-l movie, and its History
// line says so. The Preloader is told of every command sent, and loads again what it used up.
//
// The bound: a cue must begin to run at the server within the connection's cue bound of its
// contact (the line change's own time, or the operator's click for a test fire). A server that
// cannot (every connection busy past it) refuses it: "***Fire Trigger. not sent: 4 commands
// waiting for 1.2 s", and a record that says so. Nothing refused is sent later, and nothing on
// this road opens a box for it.
//
// With a backup server, the command goes to every ready server, the main one first and the
// backup right after it (before any line is written), each with its own History line (the
// backup's end in " (backup)") and its own record. The label shows the slot's condition when
// any server took the command.
class Firing
{
public:
    struct Controls
    {
        QLabel *lblLASTTRINGER = nullptr;
        std::function<void(const QString &message)> setStatus;
        // Optional: told of every firing, once per server, after its outcome is logged.
        std::function<void(const FiringRecord &record)> record;
    };

    Firing(Controls controls, ErrorTrap &trap, const TriggerSlots &triggers, CasparServers servers);

    // When the contact that is being handled happened; none (or no function): now.
    using ContactTime = std::function<std::optional<Clock::time_point>()>;
    void setContactTime(ContactTime contactTime) { m_contactTime = std::move(contactTime); }

    // Fires slot triggerid (0 to 5), armed or not: the caller has decided that it fires.
    void FIREME(qint16 triggerid);
    // The operator's check of slot triggerid (0 to 5) before air ("Play now"): a History line
    // says that a test fire follows, then the slot fires as FIREME fires it, with the same
    // lines; its record is marked as a test.
    void testFire(qint16 triggerid);

    // Who is told of every firing (Controls::record); empty for no one.
    void setRecord(std::function<void(const FiringRecord &record)> record) { m_controls.record = std::move(record); }
    // Who keeps the pre-loading slots' clips loaded; none: they play in full.
    void setPreloader(Preloader *preloader) { m_preloader = preloader; }
    const std::function<void(const FiringRecord &record)> &record() const { return m_controls.record; }
    // Others told of every firing, after Controls::record, in the order they were first set;
    // setting an owner's record empty stops telling it.
    using Record = std::function<void(const FiringRecord &record)>;
    void setRecord(const void *owner, Record record);
    // Whether every record of a sent command with a clip carries an on-air verdict to come
    // (FiringRecord::onAir), for someone told of the firings to deliver.
    void setWatchOnAir(bool watch) { m_watchOnAir = watch; }

private:
    void fire(qint16 triggerid, Clock::time_point contact, bool test);
    // What one firing did on each server.
    struct Outcome
    {
        std::array<QString, 2> line;
        std::array<bool, 2> sent{};
        std::array<std::shared_ptr<PendingReply>, 2> reply;
        std::array<QString, 2> command;
        std::array<bool, 2> preloaded{}; // a bare PLAY went out: the clip was loaded
        std::array<QString, 2> refusal;  // why the server refused it; null unless refused
        std::array<FiringRecord::Result, 2> result{FiringRecord::Result::NotSent, FiringRecord::Result::NotSent};
        std::array<std::chrono::steady_clock::time_point, 2> sentAt{};
    };
    void run(Procedure &p, qint16 triggerid, Clock::time_point contact, Outcome &outcome);
    // Builds the slot's line for `server` into m_command; false when it cannot be sent.
    bool build(qint16 triggerid, bool preloaded);
    // The History line of a sent command.
    QString firedLine(qint16 triggerid, bool preloaded) const;

    Controls m_controls;
    ErrorTrap &m_trap;
    const TriggerSlots &m_triggers;
    CasparServers m_servers;
    PlayCommand m_command;
    Preloader *m_preloader = nullptr;
    ContactTime m_contactTime;
    std::vector<std::pair<const void *, Record>> m_records; // window thread
    bool m_watchOnAir = false;                              // window thread: records carry a verdict to come
    quint64 m_recordsMade = 0;                              // FiringRecord::number of the last one
};

} // namespace vantor::playout
