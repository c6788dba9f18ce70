#include "app/confirm/tallycontact.h"

#include "app/confirm/onairconfirmation.h"
#include "app/window/mainwindow.h"

#include "playout/firing.h"
#include "playout/triggerslots.h"
#include "serial/service/serialportservice.h"

#include <QPointer>

namespace vantor::app {

TallyContact::TallyContact(onair::Tally::Mode mode, MainWindow &window, serial::SerialPortService &port,
                           OnAirConfirmation *confirmation, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_tally(
          mode, [&port](bool asserted) { port.setDtr(asserted); }, m_clock)
{
    connect(&m_tally, &onair::Tally::lineFailed, this,
            [this](const QString &why) { m_window.SetStatus1(QStringLiteral("***Tally contact not driven: ") + why); });
    m_tally.start();
    if (!confirmation) {
        window.firing().setRecord(this, [this](const playout::FiringRecord &record) { fired(record); });
        return;
    }
    connect(confirmation, &OnAirConfirmation::confirmed, this,
            [this](int server, int channel, int layer, const QString &clip) {
                m_tally.onAir(onair::OscReceiver::Server(server), channel, layer, clip);
            });
    const auto check = [this, confirmation] {
        m_tally.check([confirmation](onair::OscReceiver::Server server, int channel, int layer) {
            return confirmation->view(server, channel, layer);
        });
    };
    connect(&confirmation->receiver(), &onair::OscReceiver::changed, this, check);
    m_check.setInterval(CheckMs);
    connect(&m_check, &QTimer::timeout, this, check);
    m_check.start();
}

TallyContact::~TallyContact()
{
    m_window.firing().setRecord(this, {});
}

// Without confirmation: the reply to a sent command decides.
void TallyContact::fired(const playout::FiringRecord &record)
{
    if (!record.sent || !record.reply)
        return;
    const auto server = onair::OscReceiver::Server(record.server);
    const playout::SlotAddress at = record.address;
    const bool clear = m_window.triggerSlots().command(record.slot).action == playout::SlotAction::Clear;
    record.reply->then([self = QPointer<TallyContact>(this), server, at, clear,
                        clip = record.movie](const playout::CommandReply &reply) {
        if (!self || !reply.answered || reply.code < 200 || reply.code >= 300)
            return;
        if (!clip.isEmpty())
            self->m_tally.onAir(server, at.channel, at.effectiveLayer(), clip);
        else // Stop, or Clear: the whole channel without a layer
            self->m_tally.cleared(server, at.channel, clear && !at.hasLayer() ? -1 : at.effectiveLayer());
    });
}

} // namespace vantor::app
