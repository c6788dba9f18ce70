// The OSC receiver over loopback: servers told apart by their source address, hostile
// datagrams bounded, a port held by another program refused, firings judged as the state comes.
#include "onair/onairwatch.h"
#include "onair/oscreceiver.h"
#include "oscplayout.h"

#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <oscpack/osc/OscOutboundPacketStream.h>

using namespace vantor::onair;
using namespace std::chrono_literals;

namespace {

const QHostAddress MainAddress(QStringLiteral("127.0.0.1"));
const QHostAddress BackupAddress(QStringLiteral("127.0.0.2"));
const QHostAddress Stranger(QStringLiteral("127.0.0.3"));

QString pathOf(const OscReceiver &r, OscReceiver::Server s, int layer)
{
    const LayerView v = r.view(s, 1, layer);
    const Playing *fg = v.playing(Side::Foreground);
    return fg ? QString::fromStdString(fg->path) : QString();
}

// One OSC message with a text argument, as a datagram.
QByteArray message(const QByteArray &address, const QByteArray &text)
{
    std::vector<char> buffer(address.size() + text.size() + 64);
    osc::OutboundPacketStream p(buffer.data(), buffer.size());
    p << osc::BeginMessage(address.constData()) << text.constData() << osc::EndMessage;
    return QByteArray(p.Data(), qsizetype(p.Size()));
}

} // namespace

class TestOscReceiver : public QObject
{
    Q_OBJECT

    std::unique_ptr<OscReceiver> receiver; // a fresh one for each test

    void send(QUdpSocket &from, const QByteArray &datagram)
    {
        QCOMPARE(from.writeDatagram(datagram, QHostAddress::LocalHost, receiver->port()), qint64(datagram.size()));
    }

private Q_SLOTS:
    void init()
    {
        receiver = std::make_unique<OscReceiver>(OscReceiver::Limits{100, 8});
        QVERIFY2(receiver->start(0), qPrintable(receiver->errorString()));
        receiver->setServers({MainAddress}, {BackupAddress});
    }
    void cleanup() { receiver.reset(); }

    void mainAndBackupAreToldApartBySourceAddress()
    {
        OscPlayout main, backup;
        QVERIFY(main.bindSource(MainAddress));
        QVERIFY(backup.bindSource(BackupAddress));
        main.setVersion(OscPlayout::Version::V207);
        backup.setVersion(OscPlayout::Version::V22);
        for (OscPlayout *p : {&main, &backup}) {
            p->setRate(50);
            p->addTarget(QHostAddress::LocalHost, receiver->port());
            p->start();
        }
        main.play(1, 10, QStringLiteral("a"), QStringLiteral("a.mov"));
        backup.play(1, 10, QStringLiteral("b"), QStringLiteral("b.mov"));
        QTRY_COMPARE(pathOf(*receiver, OscReceiver::Main, 10), QStringLiteral("a.mov"));
        QTRY_COMPARE(pathOf(*receiver, OscReceiver::Backup, 10), QStringLiteral("/media/b.mov"));
        QCOMPARE(receiver->view(OscReceiver::Main, 1, 10).layout, Layout::Classic);
        QCOMPARE(receiver->view(OscReceiver::Backup, 1, 10).layout, Layout::Layered);
    }

    // A server on IPv6 is heard through the system's filter as well.
    void anIpv6ServerIsHeard()
    {
        QUdpSocket v6;
        if (!v6.bind(QHostAddress::LocalHostIPv6, 0))
            QSKIP("no IPv6 loopback here");
        receiver->setServers({QHostAddress::LocalHostIPv6}, {BackupAddress});
        QVERIFY(QTest::qWaitFor([&] {
            v6.writeDatagram(message("/channel/1/stage/layer/3/file/path", "six.mov"), QHostAddress::LocalHostIPv6,
                             receiver->port());
            return pathOf(*receiver, OscReceiver::Main, 3) == QStringLiteral("six.mov");
        }));
    }

    // What a stranger, an over-long text, too many layers or too many datagrams cannot do.
    void hostileDatagramsAreBounded()
    {
        QUdpSocket mainSocket, strangerSocket;
        QVERIFY(mainSocket.bind(MainAddress, 0) && strangerSocket.bind(Stranger, 0));
        const QByteArray path = "/channel/1/stage/layer/%1/file/path";
        // A text of 60 000 bytes is kept as 512.
        send(mainSocket, message(QByteArray(path).replace("%1", "1"), QByteArray(60000, 'y')));
        QTRY_COMPARE(pathOf(*receiver, OscReceiver::Main, 1).size(), qsizetype(ServerState::MaxText));
        QVERIFY(receiver->counts().cut >= 1);
        // Layers past the bound are dropped and counted; the state keeps the bound. (One
        // datagram, so that the rate does not drop any of them.)
        std::vector<char> buffer(8192);
        osc::OutboundPacketStream layers(buffer.data(), buffer.size());
        layers << osc::BeginBundleImmediate;
        for (int layer = 2; layer < 40; ++layer)
            layers << osc::BeginMessage(QByteArray(path).replace("%1", QByteArray::number(layer)).constData())
                   << "z.mov" << osc::EndMessage;
        layers << osc::EndBundle;
        send(mainSocket, QByteArray(layers.Data(), qsizetype(layers.Size())));
        QTRY_VERIFY(receiver->counts().droppedLayers > 0);
        QCOMPARE(receiver->state(OscReceiver::Main).layers().size(), std::size_t(8));
        // Not OSC at all: counted.
        send(mainSocket, QByteArray("garbage"));
        QTRY_VERIFY(receiver->counts().malformed > 0);
        // A flood from a known server is parsed up to the rate.
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3000; ++i)
            send(mainSocket, message(QByteArray(path).replace("%1", "1"), "w.mov"));
        QTRY_VERIFY(receiver->counts().overRate > 0);
        const OscReceiver::Counts c = receiver->counts();
        QVERIFY2(c.parsed <= quint64(100 * (clock.elapsed() / 1000 + 2)), qPrintable(QString::number(c.parsed)));
        QCOMPARE(receiver->state(OscReceiver::Backup).lastDatagram(), TimePoint{});
        // A stranger's flood is dropped unread, by the system where it can (then uncounted).
        for (int i = 0; i < 2000; ++i)
            strangerSocket.writeDatagram(message(QByteArray(path).replace("%1", "1"), "x.mov"), QHostAddress::LocalHost,
                                         receiver->port());
        // The backup's datagram comes after them (sent again until one is read: without the
        // system's filter, the flood may have filled the socket's buffer).
        QUdpSocket backupSocket;
        QVERIFY(backupSocket.bind(BackupAddress, 0));
        QVERIFY(QTest::qWaitFor([&] {
            send(backupSocket, message(QByteArray(path).replace("%1", "1"), "v.mov"));
            return pathOf(*receiver, OscReceiver::Backup, 1) == QStringLiteral("v.mov");
        }));
        const OscReceiver::Counts after = receiver->counts();
#ifdef Q_OS_LINUX
        QVERIFY(after.systemFilter);
#endif
        QVERIFY(after.systemFilter ? after.strangers == 0 : after.strangers > 0);
    }

    // Another program holding the port, even one that allows sharing it, is an error to show.
    void aPortAlreadyTakenIsAnError()
    {
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress::Any, 0, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        OscReceiver second;
        QVERIFY(!second.start(other.localPort()));
        QVERIFY2(second.errorString().startsWith(QStringLiteral("UDP port %1: ").arg(other.localPort())),
                 qPrintable(second.errorString()));
        QVERIFY(!second.isListening());
    }

    // A firing judged as the server's bundles come in: on air within two frames of the first
    // bundle that shows the clip; not on air, at the deadline, from a server that sends nothing.
    void firingsAreJudgedAsTheStateComes()
    {
        SteadyOnAirClock clock;
        OnAirWatch watch([this](OscReceiver::Server s, int c, int l) { return receiver->view(s, c, l); }, clock);
        connect(receiver.get(), &OscReceiver::changed, &watch, &OnAirWatch::check);
        QSignalSpy onAir(&watch, &OnAirWatch::onAir);
        QSignalSpy notOnAir(&watch, &OnAirWatch::notOnAir);
        OscPlayout main;
        QVERIFY(main.bindSource(MainAddress));
        main.setVersion(OscPlayout::Version::V23);
        main.setRate(50);
        main.addTarget(QHostAddress::LocalHost, receiver->port());
        main.start();

        const TimePoint sent = Clock::now();
        QVERIFY(watch.watch({1, OscReceiver::Main, 1, 10, QStringLiteral("1-10"), QStringLiteral("intro"), sent}));
        QVERIFY(watch.watch({2, OscReceiver::Backup, 1, 10, QStringLiteral("1-10"), QStringLiteral("intro"), sent}));
        main.play(1, 10, QStringLiteral("intro"), QStringLiteral("intro.mov"));
        QVERIFY(onAir.wait(5000));
        QCOMPARE(onAir.first().first().value<OnAirWatch::Firing>().id, quint64(1));
        QTRY_COMPARE_WITH_TIMEOUT(notOnAir.size(), 1, 5000);
        QCOMPARE(notOnAir.first().at(1).toString(), QStringLiteral("no state from the server"));
        QCOMPARE(watch.waiting(), 0);
    }
};

QTEST_GUILESS_MAIN(TestOscReceiver)
#include "tst_oscreceiver.moc"
