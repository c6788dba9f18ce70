// The status endpoint read over HTTP on 127.0.0.1: its counters after contacts of the fake
// port, the health check (also while an error box waits, and for a port without modem lines),
// other methods, and clients that send nothing, too much or slowly.
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

// A box that, while it waits, runs what it is given (a look at the endpoint) and is then answered.
struct LookingPrompter : vantor::Prompter
{
    std::function<void()> look;
    vantor::Answer ask(const std::string &) override
    {
        look();
        return vantor::Answer::Ignore;
    }
};
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

    // What no lamp shows: an error box that waits for an answer (the trigger path may be held
    // in it), and a port whose device has no modem lines (no contact can fire).
    void healthSaysWhatNoLampShows_data()
    {
        QTest::addColumn<bool>("box");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("a box waits") << true
                                     << QByteArray(
                                            "waiting for an answer to Error 40006 (Too many commands waiting) at "
                                            "frmMAIN.FIREME, line 12\n");
        QTest::newRow("no modem lines") << false << QByteArray("COM 1 has no modem lines: contacts cannot fire\n");
    }
    void healthSaysWhatNoLampShows()
    {
        QFETCH(bool, box);
        QFETCH(QByteArray, body);
        WindowFixture f;
        StatusBoard board;
        StatusFeed feed(board, f.w(), f.port);
        feed.addServer(0, *f.caspar);
        LookingPrompter looking;
        BoxWatch boxes(looking);
        feed.watchBoxes(boxes);
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        QTRY_COMPARE(get(server.port(), "/healthz").status, 200);

        if (box) {
            Answer seen;
            looking.look = [&] { seen = get(server.port(), "/healthz"); };
            vantor::ErrorTrap(boxes).report(vantor::RuntimeError(40006, "Too many commands waiting"),
                                            {"frmMAIN", "FIREME"}, 12);
            QCOMPARE(seen.status, 503);
            QCOMPARE(seen.body, body);
            QCOMPARE(get(server.port(), "/healthz").status, 200); // answered: ok again
        } else {
            Q_EMIT f.port.notice(vantor::serial::noModemLinesNotice("rfc2217://127.0.0.1:2217", "its server says so"));
            QTRY_COMPARE(get(server.port(), "/healthz").body, body);
            f.w().findChild<QPushButton *>("cmdCOMStatus")->click(); // closed: said as closed
            QTRY_COMPARE(get(server.port(), "/healthz").body, QByteArray("COM 1 closed\n"));
        }
    }

    // Only GET is served, whatever the path and the method.
    void otherMethodsAreNotAllowed()
    {
        StatusBoard board;
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        QNetworkAccessManager manager;
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/healthz").arg(server.port()));
        for (const QByteArray verb : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
            std::unique_ptr<QNetworkReply> reply(manager.sendCustomRequest(QNetworkRequest(url), verb));
            QSignalSpy done(reply.get(), &QNetworkReply::finished);
            QVERIFY(done.wait(15000));
            QVERIFY2(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 405, verb.constData());
        }
    }

    // Clients that send their request heads slowly hold a worker each until their head time is
    // over; six of them (a port scan, a stuck scraper) leave the health check answered at once,
    // before they are cut off.
    void slowClientsLeaveTheHealthCheckAnswered()
    {
        StatusBoard board;
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        int cut = 0;
        for (int i = 0; i < 6; ++i) {
            slow.push_back(std::make_unique<QTcpSocket>());
            connect(slow.back().get(), &QTcpSocket::disconnected, this, [&cut] { ++cut; });
            slow.back()->connectToHost("127.0.0.1", server.port());
            QVERIFY(slow.back()->waitForConnected(15000));
            slow.back()->write("GET /metrics HTTP/1.1\r\nX-Slow: ");
        }
        QTimer trickle;
        connect(&trickle, &QTimer::timeout, this, [&slow] {
            for (auto &client : slow)
                client->write("a");
        });
        trickle.start(100);
        const Answer health = get(server.port(), "/healthz");
        const int cutBeforeTheAnswer = cut;
        QCOMPARE(health.status, 503); // the board is empty: nothing is open
        QVERIFY2(cutBeforeTheAnswer <= 2, qPrintable(QString::number(cutBeforeTheAnswer)));
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
