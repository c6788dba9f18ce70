#include "app/monitor/statusfeed.h"

#include "app/monitor/boxwatch.h"
#include "app/monitor/pagetext.h"
#include "app/monitor/statusboard.h"
#include "app/window/mainwindow.h"

#include "playout/casparconnection.h"
#include "playout/casparservers.h"
#include "playout/firing.h"
#include "playout/triggerslots.h"
#include "serial/service/portbackend.h"
#include "serial/service/serialportservice.h"

#include <QPointer>

#include <memory>
#include <utility>

namespace vantor::app {

namespace {
StatusBoard::Outcome outcomeOf(playout::FiringRecord::Result result)
{
    using R = playout::FiringRecord::Result;
    using O = StatusBoard::Outcome;
    switch (result) {
    case R::Sent: return O::Sent;
    case R::NotReady: return O::NotReady;
    case R::EmptyMovie: return O::EmptyMovie;
    case R::InvalidMovie: return O::InvalidMovie;
    case R::NotSent: break;
    }
    return O::NotSent;
}
} // namespace

StatusFeed::StatusFeed(StatusBoard &board, MainWindow &window, serial::SerialPortService &port, QObject *parent)
    : QObject(parent)
    , m_board(board)
    , m_window(window)
    , m_port(port)
{
    // Connected after the window's own handler, so the event is still the port's current one.
    connect(&port, &serial::SerialPortService::onComm, this, [this] {
        const qint16 code = m_port.commEvent();
        if (code == serial::comm::Cts || code == serial::comm::Dsr)
            m_board.lineChanged(code == serial::comm::Cts ? 0 : 1);
    });
    connect(&port, &serial::SerialPortService::portLost, this, [this] { poll(); });
    connect(&port, &serial::SerialPortService::notice, this, [this](const QString &line) {
        if (serial::isNoModemLinesNotice(line))
            m_board.setNoModemLines(true);
    });
    // A firing's record comes while the line change that caused it is being handled.
    // With a backup server each firing gives a record per server: the main one's is counted.
    window.firing().setRecord(this, [this](const playout::FiringRecord &record) {
        recordFiring(record);
        if (record.sent)
            m_board.sentAt(record.sentAt);
        if (record.onAir)
            followVerdict(record);
        if (record.server != playout::CasparServers::Main)
            return;
        m_board.fired(record.slot, outcomeOf(record.result), record.test);
        if (!record.sent)
            return;
        const auto contact = m_port.eventTime();
        if (!record.test && contact)
            m_board.contactToSend(record.sentAt - *contact);
    });
    window.triggerSlots().watch([self = QPointer<StatusFeed>(this)](int) {
        if (self)
            self->readSlots();
    });
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &StatusFeed::poll);
    m_poll.start();
    poll();
}

StatusFeed::~StatusFeed()
{
    m_window.firing().setRecord(this, {});
}

void StatusFeed::addServer(int server, playout::CasparConnection &connection)
{
    m_board.setServerUsed(server, true);
    m_board.setServerConnected(server, connection.isEstablished());
    auto wasUp = std::make_shared<bool>(connection.isEstablished());
    connect(&connection, &playout::CasparConnection::establishedChanged, this, [this, server, wasUp](bool up) {
        m_board.setServerConnected(server, up);
        if (up && std::exchange(*wasUp, true))
            m_board.reconnected(server);
    });
    connect(&connection, &playout::CasparConnection::replied, this, [this](int code, const QByteArray &) {
        if (code >= 400)
            m_board.failureReply(code);
    });
}

void StatusFeed::recordFiring(const playout::FiringRecord &record)
{
    using F = RecentFirings;
    StatusBoard::Entry entry;
    entry.number = record.number;
    entry.slot = std::int8_t(record.slot);
    entry.server = std::int8_t(record.server);
    entry.test = record.test;
    entry.result = std::uint8_t(outcomeOf(record.result));
    entry.time.assign(pageText(record.when.toString(QStringLiteral("HH:mm:ss")), F::TimeBytes));
    entry.movie.assign(pageText(record.movie, F::MovieBytes));
    entry.outcome.assign(pageText(record.outcome, F::LineBytes));
    entry.command.assign(pageText(record.command, F::LineBytes));
    const bool waiting = record.sent && record.reply;
    entry.reply = waiting ? StatusBoard::Entry::Reply::Waiting : StatusBoard::Entry::Reply::NotSent;
    m_board.firingRecorded(entry);
    if (!waiting)
        return;
    // The connection may outlive this feed, and may have answered already.
    record.reply->then([self = QPointer<StatusFeed>(this), number = record.number](const playout::CommandReply &reply) {
        if (!self)
            return;
        const QByteArray text =
            reply.answered ? reply.statusLine : (QStringLiteral("no reply: ") + reply.noReply).toUtf8();
        self->m_board.firingReplied(number, reply.answered, reply.code, reply.ms, text.toStdString());
    });
}

void StatusFeed::readSlots()
{
    const playout::TriggerSlots &triggers = m_window.triggerSlots();
    for (int i = 0; i < playout::TriggerSlots::Count && i < int(m_slotsShown.size()); ++i) {
        const bool armed = triggers.armed(i);
        const QString sends = triggers.command(i).describe(triggers.movie(i));
        SlotShown &shown = m_slotsShown[size_t(i)];
        if (armed == shown.armed && sends == shown.sends && !shown.sends.isNull())
            continue;
        shown = {armed, sends};
        m_board.setSlot(i, armed, pageText(sends, StatusBoard::SlotBytes));
    }
}

void StatusFeed::watchBoxes(BoxWatch &boxes)
{
    m_board.setWaitingFor(boxes.waitingFor().toStdString());
    connect(&boxes, &BoxWatch::changed, this,
            [this](const QString &waitingFor) { m_board.setWaitingFor(waitingFor.toStdString()); });
}

void StatusFeed::followOnAir(LastBundle lastBundle)
{
    m_lastBundle = std::move(lastBundle);
    m_board.setConfirming(true);
    poll();
}

// Each server's verdict on a firing: on the page for every firing, in the metrics (from the
// contact on) for a firing by contact.
void StatusFeed::followVerdict(const playout::FiringRecord &record)
{
    record.onAir->then([self = QPointer<StatusFeed>(this), server = record.server, number = record.number,
                        byContact = !record.test, contact = record.contact](const playout::OnAirVerdict &verdict) {
        if (!self)
            return;
        StatusBoard *board = &self->m_board;
        using O = playout::OnAirVerdict::Outcome;
        using N = StatusBoard::NotOnAir;
        if (verdict.outcome == O::Confirmed)
            board->firingOnAir(number, verdict.ms);
        else if (verdict.outcome != O::NotWatched)
            board->firingNotOnAir(number, verdict.reason.toStdString());
        if (!byContact)
            return;
        switch (verdict.outcome) {
        case O::Confirmed: board->onAirConfirmed(server, verdict.at - contact); break;
        case O::NoState: board->notOnAir(server, N::NoState); break;
        case O::Nothing: board->notOnAir(server, N::Nothing); break;
        case O::OtherClip: board->notOnAir(server, N::OtherClip); break;
        case O::Paused: board->notOnAir(server, N::Paused); break;
        case O::Stalled: board->notOnAir(server, N::Stalled); break;
        case O::NotWatched: break; // not looked at: no reason the server gave
        }
    });
}

void StatusFeed::poll()
{
    for (int server = 0; m_lastBundle && server < StatusBoard::Servers; ++server)
        m_board.setLastBundle(server, m_lastBundle(server));
    m_board.setPort(m_port.commPort(), m_port.portOpen());
    if (!m_port.portOpen())
        m_board.setNoModemLines(false); // said again by the device of the next open
    m_board.setMergedChanges(m_port.pressureTotals().mergedChanges);
    m_board.setLogLinesDropped(m_droppedLogLines ? m_droppedLogLines() : 0);
    m_board.heartbeat(StatusBoard::Clock::now());
    readSlots();
}

} // namespace vantor::app
