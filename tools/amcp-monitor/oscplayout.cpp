#include "oscplayout.h"

#include <oscpack/osc/OscOutboundPacketStream.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace {

constexpr std::size_t BundleBytes = 32 * 1024;

} // namespace

OscPlayout::OscPlayout(QObject *parent)
    : QObject(parent)
    , m_socket(this)
    , m_timer(this)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    setRate(25);
    connect(&m_timer, &QTimer::timeout, this, &OscPlayout::tick);
}

std::optional<OscPlayout::Version> OscPlayout::versionOf(QStringView text)
{
    if (text == QLatin1String("2.0.7") || text == QLatin1String("2.1"))
        return Version::V207;
    if (text == QLatin1String("2.2"))
        return Version::V22;
    if (text == QLatin1String("2.3"))
        return Version::V23;
    return std::nullopt;
}

std::optional<OscPlayout::Fault> OscPlayout::faultOf(QStringView text)
{
    if (text == QLatin1String("stall"))
        return Fault::Stall;
    if (text == QLatin1String("pause"))
        return Fault::Pause;
    if (text == QLatin1String("other-layer"))
        return Fault::OtherLayer;
    return std::nullopt;
}

void OscPlayout::setRate(int perSecond)
{
    m_rate = std::clamp(perSecond, 1, 100);
    m_timer.setInterval(1000 / m_rate);
}

bool OscPlayout::bindSource(const QHostAddress &address)
{
    m_socket.abort();
    return m_socket.bind(address, 0);
}

void OscPlayout::addTarget(const QHostAddress &address, quint16 port)
{
    const std::pair target{address, port};
    if (m_targets.size() < MaxTargets && !m_targets.contains(target))
        m_targets.append(target);
}

OscPlayout::Layer *OscPlayout::layer(int channel, int layer)
{
    for (Layer &l : m_layers) {
        if (l.channel == channel && l.layer == layer)
            return &l;
    }
    if (int(m_layers.size()) >= MaxLayers)
        return nullptr;
    m_layers.push_back({channel, layer, {}, {}});
    return &m_layers.back();
}

void OscPlayout::play(int channel, int layer, const QString &name, const QString &file)
{
    if (Layer *l = this->layer(channel, layer)) {
        l->foreground = {name.left(MaxName), file.left(MaxName)};
        l->background = {}; // a PLAY takes the background's place, loaded or not
        l->elapsed = 0;
    }
}

void OscPlayout::loadBackground(int channel, int layer, const QString &name, const QString &file)
{
    if (Layer *l = this->layer(channel, layer))
        l->background = {name.left(MaxName), file.left(MaxName)};
}

void OscPlayout::clear(int channel, int layer)
{
    std::erase_if(m_layers, [=](const Layer &l) { return l.channel == channel && (layer < 0 || l.layer == layer); });
}

void OscPlayout::tick()
{
    std::set<int> channels{1};
    for (const Layer &l : m_layers)
        channels.insert(l.channel);
    if (!m_targets.isEmpty()) {
        for (const int channel : channels) {
            const QByteArray datagram = bundle(channel);
            for (const auto &[address, port] : m_targets)
                m_socket.writeDatagram(datagram, address, port);
        }
    }
    Q_EMIT ticked();
    if (m_fault == Fault::Stall || m_fault == Fault::Pause)
        return;
    for (Layer &l : m_layers)
        l.elapsed = std::fmod(l.elapsed + 1.0 / m_rate, ClipSeconds);
}

QByteArray OscPlayout::bundle(int channel) const
{
    std::vector<char> buffer(BundleBytes);
    osc::OutboundPacketStream p(buffer.data(), buffer.size());
    p << osc::BeginBundleImmediate;
    const QByteArray prefix = "/channel/" + QByteArray::number(channel);
    p << osc::BeginMessage((prefix + "/framerate").constData()) << m_rate << 1 << osc::EndMessage;
    const bool paused = m_fault == Fault::Pause;
    for (const Layer &l : m_layers) {
        if (l.channel != channel)
            continue;
        const int reported = m_fault == Fault::OtherLayer ? l.layer + 1 : l.layer;
        const QByteArray at = prefix + "/stage/layer/" + QByteArray::number(reported);
        const auto message = [&p](const QByteArray &address) { p << osc::BeginMessage(address.constData()); };
        const float elapsed = float(l.elapsed);
        const float total = float(ClipSeconds);
        if (m_version == Version::V207) {
            if (!l.foreground.loaded())
                continue;
            message(at + "/file/path");
            p << l.foreground.file.toUtf8().constData() << osc::EndMessage;
            message(at + "/file/frame");
            p << osc::int64(std::lround(l.elapsed * m_rate)) << osc::int64(std::lround(ClipSeconds * m_rate))
              << osc::EndMessage;
            message(at + "/file/time");
            p << elapsed << total << osc::EndMessage;
            message(at + "/paused");
            p << paused << osc::EndMessage;
            continue;
        }
        const auto side = [&](const QByteArray &which, const Clip &clip, bool isForeground) {
            message(at + which + "/producer");
            p << (clip.loaded() ? "ffmpeg" : "empty") << osc::EndMessage;
            if (!clip.loaded())
                return;
            message(at + which + "/file/name");
            p << clip.name.toUtf8().constData() << osc::EndMessage;
            message(at + which + "/file/path");
            p << ("/media/" + clip.file.toUtf8()).constData() << osc::EndMessage;
            message(at + which + "/file/time");
            p << (isForeground ? elapsed : 0.0f) << total << osc::EndMessage;
            message(at + which + "/paused");
            p << (isForeground ? paused : true) << osc::EndMessage;
            if (isForeground && m_version == Version::V23) {
                message(at + which + "/frames_left");
                p << osc::int64(std::lround((ClipSeconds - l.elapsed) * m_rate)) << osc::EndMessage;
            }
        };
        side("/foreground", l.foreground, true);
        side("/background", l.background, false);
    }
    p << osc::EndBundle;
    return QByteArray(p.Data(), qsizetype(p.Size()));
}
