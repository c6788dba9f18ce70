#include "app/confirm/onairconfirmation.h"

#include "app/window/mainwindow.h"

#include "onair/cliprules.h"
#include "playout/casparservers.h"
#include "playout/firing.h"
#include "playout/triggerslots.h"

#include <QLabel>
#include <QTextDocument>

namespace vantor::app {

namespace {

using onair::OscReceiver;
using playout::OnAirVerdict;
using Why = onair::OnAirRule::Why;

OnAirVerdict::Outcome outcomeOf(Why why)
{
    switch (why) {
    case Why::NoState: return OnAirVerdict::Outcome::NoState;
    case Why::Nothing: return OnAirVerdict::Outcome::Nothing;
    case Why::OtherClip: return OnAirVerdict::Outcome::OtherClip;
    case Why::Paused: return OnAirVerdict::Outcome::Paused;
    case Why::Stalled: break;
    }
    return OnAirVerdict::Outcome::Stalled;
}

// A tooltip shows text that looks like markup as markup: a clip's name is shown as it is.
QString plainToolTip(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

} // namespace

OnAirConfirmation::OnAirConfirmation(MainWindow &window, OscReceiver &receiver, std::chrono::milliseconds deadline,
                                     QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_receiver(receiver)
    , m_watch([&receiver](OscReceiver::Server s, int channel, int layer) { return receiver.view(s, channel, layer); },
              m_clock, deadline)
    , m_lastTrigger(window.findChild<QLabel *>(QStringLiteral("lblLASTTRINGER")))
{
    connect(&receiver, &OscReceiver::changed, &m_watch, &onair::OnAirWatch::check);
    connect(&m_watch, &onair::OnAirWatch::onAir, this, &OnAirConfirmation::onAir);
    connect(&m_watch, &onair::OnAirWatch::notOnAir, this, &OnAirConfirmation::notOnAir);
    playout::CasparServers &servers = window.casparServers();
    for (int server = 0; server < servers.count(); ++server)
        connect(&servers.at(server), &playout::CasparConnection::ready, this, &OnAirConfirmation::takeAddresses);
    takeAddresses();
    window.firing().setWatchOnAir(true);
    window.firing().setRecord(this, [this](const playout::FiringRecord &record) { fired(record); });
    m_silenceCheck.setInterval(SilenceCheckMs);
    connect(&m_silenceCheck, &QTimer::timeout, this, &OnAirConfirmation::checkSilence);
    m_silenceCheck.start();
}

OnAirConfirmation::~OnAirConfirmation()
{
    m_window.firing().setRecord(this, {});
    m_window.firing().setWatchOnAir(false);
    for (auto &[id, watched] : std::exchange(m_watched, {}))
        watched.verdict->deliver({OnAirVerdict::Outcome::NotWatched, 0, {}, QStringLiteral("the program ended")});
}

onair::LayerView OnAirConfirmation::view(OscReceiver::Server server, int channel, int layer) const
{
    return m_receiver.view(server, channel, layer);
}

QString OnAirConfirmation::suffix(int server) const
{
    return playout::CasparServers::suffix(server);
}

void OnAirConfirmation::fired(const playout::FiringRecord &record)
{
    // A firing's records come one per server, the main one's first.
    if (record.server <= m_lastServer)
        ++m_firings;
    m_lastServer = record.server;
    if (!record.onAir)
        return; // not sent, or Stop and Clear
    // The clip is the movie as the server reads it from the PLAY line: the line quotes and
    // escapes it, the server undoes both.
    const QString what =
        QStringLiteral("%1 %2 on %3")
            .arg(playout::TriggerSlots::conditionName(record.slot), record.movie, record.address.text());
    if (record.preloaded)
        checkBackground(record, what);
    const quint64 id = ++m_nextId;
    m_watched.emplace(id, Watched{m_firings, what, record.onAir, record.sentAt});
    show(m_firings, record.server, QStringLiteral("Waiting for on air: ") + what + suffix(record.server));
    const onair::OnAirWatch::Firing firing{id,
                                           OscReceiver::Server(record.server),
                                           record.address.channel,
                                           record.address.effectiveLayer(),
                                           record.address.text(),
                                           record.movie,
                                           record.sentAt};
    if (!m_watch.watch(firing)) {
        m_watched.erase(id);
        const QString why = QStringLiteral("%1 firings wait for their verdict").arg(onair::OnAirWatch::MaxWaiting);
        const QString line = QStringLiteral("***On air not checked: %1: %2").arg(what, why) + suffix(record.server);
        m_window.SetStatus(line);
        show(m_firings, record.server, line);
        record.onAir->deliver({OnAirVerdict::Outcome::NotWatched, 0, {}, QStringLiteral("not checked: ") + why});
    }
}

// Before the cue: the bare PLAY plays what the layer holds in its background.
void OnAirConfirmation::checkBackground(const playout::FiringRecord &record, const QString &what)
{
    const onair::LayerView view =
        m_receiver.view(OscReceiver::Server(record.server), record.address.channel, record.address.effectiveLayer());
    const std::optional<bool> loaded = onair::OnAirRule::inBackground(view, onair::ClipName(record.movie));
    if (loaded && !*loaded)
        m_window.SetStatus(QStringLiteral("***Not pre-loaded: %1 was not in the background before the cue").arg(what)
                           + suffix(record.server));
}

void OnAirConfirmation::onAir(const onair::OnAirWatch::Firing &firing, onair::TimePoint at)
{
    const auto it = m_watched.find(firing.id);
    if (it == m_watched.end())
        return;
    const Watched watched = std::move(it->second);
    m_watched.erase(it);
    const double ms = std::chrono::duration<double, std::milli>(at - watched.sentAt).count();
    const QString line =
        QStringLiteral("On air: %1 after %2 ms").arg(watched.what).arg(qRound(ms)) + suffix(firing.server);
    m_window.SetStatus(line);
    show(watched.firing, firing.server, line);
    watched.verdict->deliver({OnAirVerdict::Outcome::Confirmed, ms, at, {}});
    Q_EMIT confirmed(firing.server, firing.channel, firing.layer, firing.clip);
}

void OnAirConfirmation::notOnAir(const onair::OnAirWatch::Firing &firing, const QString &reason, Why why)
{
    const auto it = m_watched.find(firing.id);
    if (it == m_watched.end())
        return;
    const Watched watched = std::move(it->second);
    m_watched.erase(it);
    const QString line = QStringLiteral("***Not on air: %1, %2").arg(watched.what, reason) + suffix(firing.server);
    m_window.SetStatus(line);
    show(watched.firing, firing.server, line);
    watched.verdict->deliver({outcomeOf(why), 0, {}, reason});
    if (why == Why::NoState)
        saySilent(firing.server);
}

// The address each connection reached, kept while it is down: its server's state stays.
void OnAirConfirmation::takeAddresses()
{
    playout::CasparServers &servers = m_window.casparServers();
    for (int server = 0; server < servers.count(); ++server) {
        const QHostAddress address = servers.at(server).peerAddress();
        if (!address.isNull())
            m_addresses[size_t(server)] = {address};
    }
    m_receiver.setServers(m_addresses[0], m_addresses[1]);
}

void OnAirConfirmation::checkSilence()
{
    playout::CasparServers &servers = m_window.casparServers();
    const onair::TimePoint now = m_clock.now();
    for (int server = 0; server < servers.count(); ++server) {
        Silence &s = m_silence[size_t(server)];
        const onair::TimePoint last = m_receiver.lastDatagram(OscReceiver::Server(server));
        if (s.said) {
            if (last > s.saidAt) {
                s.said = false;
                m_window.SetStatus(
                    QStringLiteral("On-air state from the playout server %1 again").arg(servers.at(server).host())
                    + suffix(server));
            }
            continue;
        }
        if (!servers.at(server).isEstablished()) {
            s.upSince = {};
            continue;
        }
        if (s.upSince == onair::TimePoint{})
            s.upSince = now;
        if (now - s.upSince >= SilentAfter && now - last >= SilentAfter)
            saySilent(server);
    }
}

void OnAirConfirmation::saySilent(int server)
{
    Silence &s = m_silence[size_t(server)];
    if (s.said)
        return;
    s.said = true;
    s.saidAt = m_clock.now();
    m_window.SetStatus(QStringLiteral("***No on-air state from the playout server %1: is its OSC sent to this "
                                      "machine's port %2? (casparcg.config <osc>, a firewall)")
                           .arg(m_window.casparServers().at(server).host())
                           .arg(m_receiver.port())
                       + suffix(server));
}

// lblLASTTRINGER keeps its caption; its description holds the latest firing's lines.
void OnAirConfirmation::show(quint64 firing, int server, const QString &line)
{
    if (firing < m_shownFiring || !m_lastTrigger)
        return;
    if (firing > m_shownFiring) {
        m_shownFiring = firing;
        m_shown = {};
    }
    m_shown[size_t(server)] = line;
    QStringList lines;
    for (const QString &shown : m_shown) {
        if (!shown.isEmpty())
            lines << shown;
    }
    const QString text = lines.join(QLatin1Char('\n'));
    m_lastTrigger->setAccessibleDescription(text);
    m_lastTrigger->setToolTip(plainToolTip(text));
}

} // namespace vantor::app
