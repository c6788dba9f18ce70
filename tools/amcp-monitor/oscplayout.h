#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <optional>
#include <vector>

// What a playout server says over OSC about what it plays, as the fake server sends it: for
// every channel, one bundle a frame (25 or 50 a second) to each target (each AMCP client's
// address, port 6250 by default), in the layout of the version it plays:
//   2.0.7, 2.1   /channel/C/stage/layer/L/file/path (relative, with extension), file/frame,
//                file/time, paused; nothing for an empty layer
//   2.2, 2.3     /channel/C/stage/layer/L/foreground/file/name (as given in PLAY),
//                foreground/file/path (full, under /media/), foreground/file/time,
//                foreground/producer, foreground/paused, the same under background/ for a
//                loaded clip; 2.3 adds foreground/frames_left
// Each channel's bundle also carries /channel/C/framerate, so a server with empty layers is
// still heard. A clip lasts ClipSeconds and loops. Faults: a clip that stalls (its time stands,
// not paused), one that is paused, or one reported on the next layer up instead of its own.
// Bounded: MaxLayers layers, MaxTargets targets, names cut to MaxName characters.
class OscPlayout : public QObject
{
    Q_OBJECT

public:
    enum class Version { V207, V22, V23 };
    enum class Fault { None, Stall, Pause, OtherLayer };
    static constexpr int MaxLayers = 16;
    static constexpr int MaxTargets = 8;
    static constexpr int MaxName = 256;
    static constexpr double ClipSeconds = 30;
    static constexpr quint16 DefaultPort = 6250;

    explicit OscPlayout(QObject *parent = nullptr);

    // "2.0.7", "2.1", "2.2", "2.3"; "stall", "pause", "other-layer".
    static std::optional<Version> versionOf(QStringView text);
    static std::optional<Fault> faultOf(QStringView text);

    void setVersion(Version version) { m_version = version; }
    void setRate(int perSecond);
    void setFault(Fault fault) { m_fault = fault; }
    // Sends from this address (127.0.0.2 plays a backup server beside a main one on 127.0.0.1).
    bool bindSource(const QHostAddress &address);
    void addTarget(const QHostAddress &address, quint16 port = DefaultPort);

    // `name` as given in PLAY, `file` the clip's file relative to the media folder. A play
    // takes the place of what the layer's background held.
    void play(int channel, int layer, const QString &name, const QString &file);
    void loadBackground(int channel, int layer, const QString &name, const QString &file);
    // Empties the layer (-1: every layer of the channel).
    void clear(int channel, int layer);

    // Sending every frame; tick() is one frame.
    void start() { m_timer.start(); }
    void halt() { m_timer.stop(); }
    void tick();
    // The bundle of a channel this frame, as tick() sends it.
    QByteArray bundle(int channel) const;

Q_SIGNALS:
    // A frame's bundles were sent.
    void ticked();

private:
    struct Clip
    {
        QString name;
        QString file;
        bool loaded() const { return !file.isEmpty(); }
    };
    struct Layer
    {
        int channel;
        int layer;
        Clip foreground;
        Clip background;
        double elapsed = 0;
    };
    Layer *layer(int channel, int layer);

    Version m_version = Version::V22;
    Fault m_fault = Fault::None;
    int m_rate = 25;
    QUdpSocket m_socket; // children, so that the sender may move to a thread of its own
    QTimer m_timer;
    std::vector<Layer> m_layers;
    QList<std::pair<QHostAddress, quint16>> m_targets;
};
