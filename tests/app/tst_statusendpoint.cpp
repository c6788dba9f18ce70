// The status endpoint read over HTTP on 127.0.0.1: its counters after contacts of the fake
// port, the site label, the health check (also while an error box waits, and for a port
// without modem lines), the status page's document, and clients that send nothing, too much
// or slowly.
#include "windowfixture.h"

#include "app/monitor/boxwatch.h"
#include "app/monitor/pagetext.h"
#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/monitor/statuspage.h"
#include "app/monitor/statusserver.h"
#include "app/station/asrunrecord.h"
#include "errortrap/errortrap.h"
#include "serial/service/portbackend.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
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

// Fails unless promtool (Debian package prometheus) finds the text format right; skips without it.
#define VERIFY_PROMTOOL_CHECKS(metrics)                                                                                \
    do {                                                                                                               \
        const QString promtool = QStandardPaths::findExecutable("promtool");                                           \
        if (promtool.isEmpty())                                                                                        \
            QSKIP("promtool is not installed (Debian package prometheus)");                                            \
        QProcess check;                                                                                                \
        check.start(promtool, {"check", "metrics"});                                                                   \
        check.write(metrics);                                                                                          \
        check.closeWriteChannel();                                                                                     \
        QVERIFY(check.waitForFinished(60000));                                                                         \
        QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput() + check.readAllStandardError());                 \
    } while (false)

// Every string of a JSON document, depth first.
void strings(const QJsonValue &value, QStringList &out)
{
    if (value.isString())
        out << value.toString();
    for (const QJsonValue &v : value.isArray() ? value.toArray() : QJsonArray())
        strings(v, out);
    for (const QJsonValue &v : value.isObject() ? value.toObject() : QJsonObject())
        strings(v, out);
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
        QVERIFY(f.goOnAir());
        f.arm(2, "/media/a.mov");
        f.arm(3, "/media/bad.mov");
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
        VERIFY_PROMTOOL_CHECKS(metrics.body);
    }

    // One Prometheus for several sites: every sample carries the site, quotes and all.
    void everySampleCarriesTheSite()
    {
        StatusBoard board("Zürich \"2\" \\ north");
        board.setServerUsed(1, true);
        board.contactToSend(std::chrono::milliseconds(3));
        board.sentAt(StatusBoard::Clock::now());
        board.setConfirming(true); // the on-air metrics too
        board.setLastBundle(1, StatusBoard::Clock::now());
        const QByteArray metrics = QByteArray::fromStdString(board.metricsText(StatusBoard::Clock::now()));
        QVERIFY(metrics.contains("vantor_osc_seconds_since_last_bundle{server=\"backup\",site="));
        int samples = 0;
        for (const QByteArray &line : metrics.split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            ++samples;
            QVERIFY2(line.contains("site=\"Zürich \\\"2\\\" \\\\ north\""), line);
        }
        QVERIFY(samples > 20);
        VERIFY_PROMTOOL_CHECKS(metrics);
    }

    // What comes from outside (movie names, the server's replies, why a clip is not on air)
    // reaches the page's document as valid, bounded text: no control character and nothing that
    // turns the text around it, however long or broken; the document keeps within its bound with
    // every text at its longest, and a late verdict for a firing that left the ring goes nowhere.
    void pageDocumentIsBoundedText()
    {
        const QString hostile =
            QStringLiteral("<img src=x onerror=alert(1)>\"\\\r\n\x1b[31m\u202Eevil\u2066").repeated(300);
        const std::string broken = "\xff\xfe 404 \x80" + std::string(5000, '"');
        StatusBoard board("studio");
        for (int s = 0; s < StatusBoard::Slots; ++s)
            board.setSlot(s, true, pageText(hostile, StatusBoard::SlotBytes));
        constexpr int Fired = RecentFirings::Capacity + 5;
        for (int n = 1; n <= Fired; ++n) {
            StatusBoard::Entry e;
            e.number = quint64(n);
            e.time.assign(pageText(hostile, RecentFirings::TimeBytes));
            e.movie.assign(pageText(hostile, RecentFirings::MovieBytes));
            e.outcome.assign(pageText(hostile, RecentFirings::LineBytes));
            e.command.assign(pageText(hostile, RecentFirings::LineBytes));
            board.firingRecorded(e);
            board.firingReplied(quint64(n), true, 404, 1.25, broken);
            if (n % 2)
                board.firingNotOnAir(quint64(n), broken);
            else
                board.firingOnAir(quint64(n), 84);
        }
        board.firingOnAir(1, 5);
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        const Answer answer = get(server.port(), "/status.json");
        QCOMPARE(answer.status, 200);
        QVERIFY2(size_t(answer.body.size()) <= StatusPage::MaxJsonBytes, QByteArray::number(answer.body.size()));
        QJsonParseError error;
        const QJsonObject status = QJsonDocument::fromJson(answer.body, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonArray firings = status["firings"].toArray();
        QCOMPARE(firings.size(), RecentFirings::Capacity);
        QCOMPARE(firings.first()["number"].toInt(), Fired);
        QCOMPARE(firings.last()["number"].toInt(), Fired - RecentFirings::Capacity + 1);
        QCOMPARE(firings[0]["onAir"].toString(), "not_confirmed");
        QCOMPARE(firings[1]["onAirMs"].toDouble(), 84.0);
        QVERIFY(firings[0]["movie"].toString().startsWith("<img src=x onerror=alert(1)>\"\\\uFFFD"));
        QVERIFY(firings[0]["replyText"].toString().startsWith("\uFFFD\uFFFD 404 \uFFFD\""));
        QStringList texts;
        strings(status, texts);
        for (const QString &text : texts)
            for (QChar c : text)
                QVERIFY2(c.isPrint() && c.category() != QChar::Other_Format, qPrintable(text));
    }

    // A firing's record reaches the page with its slot, and the server's reply reaches both the
    // page and the as-run record, whoever asks for it first.
    void repliesReachThePageAndTheAsRunRecord()
    {
        WindowFixture f;
        f.server.setReplier([](const QByteArray &line) {
            return line.startsWith("PLAY") ? QByteArrayList{"202 PLAY OK <b>"} : AmcpResponder::standardReply(line);
        });
        StatusBoard board;
        StatusFeed feed(board, f.w(), f.port);
        feed.addServer(0, *f.caspar);
        QStringList asRunReplies;
        AsRunRecord asRun([&](qint64, const QStringList &columns) { asRunReplies << columns.value(5); });
        f.w().firing().setRecord(&asRun, [&](const vantor::playout::FiringRecord &r) { asRun.fired(r, "CTS ON"); });
        StatusServer server(board);
        QCOMPARE(server.start("127.0.0.1", 0), QString());
        QVERIFY(f.goOnAir());
        f.arm(0, "/media/a b.mov");
        f.port.changeCts(true);
        QTRY_COMPARE(asRunReplies, QStringList{"202 PLAY OK <b>"});
        const QJsonObject status = QJsonDocument::fromJson(get(server.port(), "/status.json").body).object();
        QCOMPARE(status["slots"][0]["sends"].toString(), R"(PLAY 1 "a b.mov")");
        QVERIFY(status["slots"][0]["armed"].toBool());
        const QJsonObject fired = status["firings"][0].toObject();
        QCOMPARE(fired["slot"].toString(), "CTS ON");
        QCOMPARE(fired["replyText"].toString(), "202 PLAY OK <b>");
        QCOMPARE(fired["code"].toInt(), 202);
        f.w().firing().setRecord(&asRun, {});
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
        QVERIFY(f.goOnAir());
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
