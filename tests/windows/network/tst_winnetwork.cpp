// The network parts of the Windows edition on 127.0.0.1 under Wine: the OSC receiver hears its
// server and takes its port for itself alone; the status endpoint (civetweb and prometheus-cpp
// cross-built) answers each of its documents with the board's own content.
//
// Wine sends every datagram of a socket bound to another loopback address (127.0.0.2) from
// 127.0.0.1, so the receiver's telling servers apart by address is left to the Linux test.
#include "app/monitor/statusboard.h"
#include "app/monitor/statusserver.h"
#include "onair/oscreceiver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <oscpack/osc/OscOutboundPacketStream.h>

using namespace vantor::app;
using vantor::onair::OscReceiver;

class TestWinNetwork : public QObject
{
    Q_OBJECT

    StatusBoard board{"studio"};
    StatusServer server{board}; // one for all its documents: civetweb takes a second to stop

private Q_SLOTS:
    void initTestCase()
    {
        board.setPort(3, true);
        board.setServerUsed(0, true);
        board.heartbeat(StatusBoard::Clock::now());
        QCOMPARE(server.start("127.0.0.1", 0), QString());
    }

    // On every address (Qt's dual-stack socket on Windows), from the server's own address.
    void oscReceiverHearsItsServer()
    {
        OscReceiver receiver;
        QVERIFY2(receiver.start(0), qPrintable(receiver.errorString()));
        receiver.setServers({QHostAddress(QHostAddress::LocalHost)}, {});
        char buffer[256];
        osc::OutboundPacketStream p(buffer, sizeof buffer);
        p << osc::BeginMessage("/channel/1/stage/layer/10/file/path") << "intro.mov" << osc::EndMessage;
        QUdpSocket server;
        QCOMPARE(server.writeDatagram(p.Data(), qint64(p.Size()), QHostAddress::LocalHost, receiver.port()),
                 qint64(p.Size()));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.state(OscReceiver::Main).find(1, 10), 15000);
        QCOMPARE(receiver.state(OscReceiver::Main).find(1, 10)->foreground.path, std::string("intro.mov"));
    }

    // A port another program holds, even one that allows sharing, is refused.
    void oscPortAlreadyTakenIsRefused()
    {
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress::Any, 0, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        OscReceiver receiver;
        QVERIFY(!receiver.start(other.localPort()));
        QVERIFY(!receiver.isListening());
    }

    void documentsAnswer_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contains");
        QTest::newRow("page") << QByteArray("/") << 200 << QByteArray("status.js");
        QTest::newRow("metrics") << QByteArray("/metrics") << 200
                                 << QByteArray(R"(vantor_port_open{port="COM 3",site="studio"} 1)");
        QTest::newRow("document") << QByteArray("/status.json") << 200 << QByteArray(R"("site":"studio")");
        QTest::newRow("health") << QByteArray("/healthz") << 503 << QByteArray("not connected");
        QTest::newRow("unknown") << QByteArray("/nothing") << 404 << QByteArray();
    }

    void documentsAnswer()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QByteArray, contains);
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server.port()).arg(QString::fromLatin1(path))))));
        QSignalSpy done(reply.get(), &QNetworkReply::finished);
        QVERIFY(done.wait(15000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        const QByteArray body = reply->readAll();
        QVERIFY2(body.contains(contains), body.left(2000));
    }
};

QTEST_GUILESS_MAIN(TestWinNetwork)
#include "tst_winnetwork.moc"
