// The status endpoint read over HTTP on 127.0.0.1: its counters after contacts of the fake
// port, the health check (also while an error box waits, and for a port without modem lines),
// and clients that send nothing, too much or slowly.
#include "windowfixture.h"

#include "app/monitor/boxwatch.h"
#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/monitor/statusserver.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "errortrap/errortrap.h"
#include "serial/service/portbackend.h"

#include <QCheckBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

using namespace vantor::app;
using vantor::ErrorTrap;
using vantor::RuntimeError;

namespace {
struct Answer
{
    int status = 0;
    QByteArray body;
};

Answer get(quint16 port, const char *path)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)))));
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    if (!done.wait(15000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

// The value of one sample line of the text format, or -1 when there is no such line.
double sample(const QByteArray &metrics, const QByteArray &series)
{
    for (const QByteArray &line : metrics.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return -1;
}

} // namespace

class TestStatusEndpoint : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void countersAreExactAfterContacts()
    {
        Options unfiltered;
        unfiltered.debounce = std::chrono::milliseconds(0); // every change a contact of its own
        WindowFixture f(unfiltered);
        f.server.setReplier(AmcpResponder::failingClip("bad"));
        StatusBoard board;
        StatusFeed feed(board, f.w(), f.port);
        feed.addServer(0, *f.caspar);
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        QTRY_COMPARE(f.w().findChild<Lamp *>("shpCASPAR")->fillColor(), 65280u);
        for (const auto &[slot, movie] : {std::pair{2, "a.mov"}, std::pair{3, "bad.mov"}}) {
            f.w().findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(%1)").arg(slot))->click();
            f.chooser.choices.push_back(QStringLiteral("/media/") + movie);
            QTest::mouseDClick(f.w().findChild<ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot)),
                               Qt::LeftButton);
        }
        constexpr int N = 10;
        for (int i = 0; i < N; ++i)
            f.port.changeCts(i % 2 == 0);
        f.port.changeDsr(true);
        QVERIFY(QTest::qWaitFor([&] { return f.server.lineCount() == N + 1; }, 15000));
        feed.poll();

        const Answer metrics = get(server.port(), "/metrics");
        QCOMPARE(metrics.status, 200);
        const std::pair<const char *, double> expected[] = {
            {R"(vantor_line_changes_total{line="CTS"})", N},
            {R"(vantor_line_changes_total{line="DSR"})", 1},
            {R"(vantor_firings_total{cause="contact",outcome="sent",slot="CTS CHANGE"})", N},
            {R"(vantor_firings_total{cause="contact",outcome="sent",slot="DSR ON"})", 1},
            {R"(vantor_contact_to_send_seconds_count)", N + 1},
            {R"(vantor_server_connected{server="main"})", 1},
            {R"(vantor_port_open{port="COM 1"})", 1},
        };
        for (const auto &[series, value] : expected)
            QVERIFY2(sample(metrics.body, series) == value, series);
        QTRY_VERIFY(sample(get(server.port(), "/metrics").body, R"(vantor_failure_replies_total{code="404"})") == 1);

        const QString promtool = QStandardPaths::findExecutable("promtool");
        if (promtool.isEmpty())
            QSKIP("promtool is not installed (Debian package prometheus)");
        QProcess check;
        check.start(promtool, {"check", "metrics"});
        check.write(metrics.body);
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(60000));
        QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput() + check.readAllStandardError());
    }

    void healthSaysWhatIsWrong_data()
    {
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("silentSeconds");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("on air") << true << true << 0 << 200 << QByteArray("ok\n");
        QTest::newRow("port closed") << false << true << 0 << 503 << QByteArray("COM 4 closed\n");
        QTest::newRow("server lost") << true << false << 0 << 503 << QByteArray("Caspar not connected\n");
        QTest::newRow("window stuck") << true << true << 10 << 503 << QByteArray("window not responding\n");
    }

    void healthSaysWhatIsWrong()
    {
        QFETCH(bool, portOpen);
        QFETCH(bool, connected);
        QFETCH(int, silentSeconds);
        StatusBoard board;
        board.setPort(4, portOpen);
        board.setServerUsed(0, true);
        board.setServerConnected(0, connected);
        board.heartbeat(StatusBoard::Clock::now() - std::chrono::seconds(silentSeconds));
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        const Answer health = get(server.port(), "/healthz");
        QTEST(health.status, "status");
        QTEST(health.body, "body");
    }

    // What no lamp shows: an error box that waits for an answer (whatever waits in its
    // procedure waits with it), and a port whose device has no modem lines (nothing can fire).
    void healthSaysWhatNoLampShows()
    {
        WindowFixture f;
        StatusBoard board;
        StatusFeed feed(board, f.w(), f.port);
        feed.addServer(0, *f.caspar);
        ScriptedPrompter nobody;
        BoxWatch boxes(nobody);
        feed.watchBoxes(boxes);
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        QTRY_COMPARE(get(server.port(), "/healthz").status, 200);

        Answer seen; // while the box is open
        connect(&boxes, &BoxWatch::changed, this, [&](const QString &waiting) {
            if (!waiting.isEmpty())
                seen = get(server.port(), "/healthz");
        });
        ErrorTrap(boxes).report(RuntimeError(40006, "Too many commands waiting"), {"frmMAIN", "FIREME"}, 12);
        QCOMPARE(seen.body,
                 "waiting for an answer to Error 40006 (Too many commands waiting) at frmMAIN.FIREME, line 12\n");
        QCOMPARE(get(server.port(), "/healthz").status, 200); // answered: ok again

        Q_EMIT f.port.notice(vantor::serial::noModemLinesNotice("rfc2217://127.0.0.1:2217", "its server says so"));
        QTRY_COMPARE(get(server.port(), "/healthz").body, "COM 1 has no modem lines: contacts cannot fire\n");
    }

    // Clients that send their request heads slowly hold a worker each, until their head time is
    // over; six of them leave the health check answered at once, before they are cut off.
    void slowClientsLeaveTheHealthCheckAnswered()
    {
        StatusBoard board;
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        int cut = 0;
        QTimer trickle;
        for (int i = 0; i < 6; ++i) {
            QTcpSocket *client = slow.emplace_back(std::make_unique<QTcpSocket>()).get();
            connect(client, &QTcpSocket::disconnected, this, [&cut] { ++cut; });
            connect(&trickle, &QTimer::timeout, client, [client] { client->write("a"); });
            client->connectToHost("127.0.0.1", server.port());
            QVERIFY(client->waitForConnected(15000));
            client->write("GET /metrics HTTP/1.1\r\nX-Slow: ");
        }
        trickle.start(100);
        QCOMPARE(get(server.port(), "/healthz").status, 503); // an empty board: nothing open
        QVERIFY2(cut <= 2, qPrintable(QString::number(cut)));
    }

    // Clients that hold a connection without a request, or send a request head that never
    // ends, are cut off; the endpoint then answers again.
    void hostileClientsAreCutOff()
    {
        StatusBoard board;
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < StatusServer::Workers + StatusServer::QueuedConnections + 1; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost("127.0.0.1", server.port());
            QVERIFY(clients.back()->waitForConnected(15000));
        }
        clients.front()->write("GET /metrics HTTP/1.1\r\nX: " + QByteArray(StatusServer::MaxRequestBytes, 'a'));
        for (auto &client : clients)
            QVERIFY(client->state() == QAbstractSocket::UnconnectedState || client->waitForDisconnected(30000));
        QCOMPARE(get(server.port(), "/healthz").status, 503);
    }
};

QTEST_MAIN(TestStatusEndpoint)
#include "tst_statusendpoint.moc"
