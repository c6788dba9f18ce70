#include "playout/casparconnection.h"
#include "playout/casparlink.h"
#include "playout/casparservers.h"
#include "playout/filechooser.h"
#include "playout/firing.h"
#include "playout/preloader.h"
#include "playout/triggerslots.h"

#include "app/station/asrunrecord.h"

#include "amcpresponder.h"
#include "hostileplayoutpeer.h"
#include "scriptedprompter.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace vantor::playout;

// Scheduling slack of a loaded machine on top of the stated 2 s.
constexpr int Slack = 400;

namespace {

class NoChooser : public FileChooser
{
public:
    std::optional<QString> chooseMovie(const QString &, const QStringList &) override { return {}; }
};

// A network namespace joined to this one by a veth pair; its end of the pair is the cable. The
// server's address stays resolved, as behind a switch: packets to it vanish. (Were it to be
// resolved again, Linux would hold the packets for up to 3 s and send them once the link is
// back, socket closed or not; README says so.)
struct Cable
{
    const QString ns = QStringLiteral("vtl%1").arg(getpid());
    const QString near = ns + "h", far = ns + "p";
    const QString net = QStringLiteral("10.213.%1.").arg(getpid() % 250);
    const QHostAddress server{net + "2"};
    const QString mac = QStringLiteral("02:d5:00:00:%1:02").arg(getpid() % 250, 2, 16, QLatin1Char('0'));

    static bool ip(const QStringList &args) { return QProcess::execute("ip", args) == 0; }
    bool setUp()
    {
        return ip({"netns", "add", ns})
            && ip({"link", "add", near, "type", "veth", "peer", "name", far, "address", mac})
            && ip({"link", "set", far, "netns", ns}) && ip({"addr", "add", net + "1/30", "dev", near})
            && ip({"link", "set", near, "up"}) && ip({"-n", ns, "addr", "add", net + "2/30", "dev", far})
            && ip({"-n", ns, "link", "set", far, "up"}) && ip({"-n", ns, "link", "set", "lo", "up"})
            && ip({"neigh", "replace", net + "2", "lladdr", mac, "dev", near, "nud", "permanent"});
    }
    ~Cable() { ip({"netns", "del", ns}); } // takes the pair with it
    bool set(bool plugged) { return ip({"-n", ns, "link", "set", far, plugged ? "up" : "down"}); }
};

// The Caspar page, the top strip and the trigger rows, wired to a responder on loopback (or
// on `at`), with a backup server on backupPort if given (SameServer: the main one's), the
// pre-loads and the as-run rows. Retries are fast here; the program's own defaults are 1 s
// and 5 s.
struct Station
{
    static constexpr quint16 SameServer = 65535;

    explicit Station(ConnectionTiming timing = {50, 100, 2000}, quint16 backupPort = 0,
                     const QHostAddress &at = QHostAddress::LocalHost, quint16 port = 0)
    {
        QVERIFY(port || server.listen());
        if (backupPort == SameServer)
            backupPort = server.port();
        ip = new QLineEdit(at.toString(), &host);
        button = new QPushButton(QStringLiteral("Connect"), &host);
        lblCASPAR = new QLabel(QStringLiteral("CSP:127.0.0.1"), &host);
        lblLASTTRINGER = new QLabel(&host);
        for (int i = 0; i < TriggerSlots::Count; ++i) {
            boxes[i] = new QCheckBox(&host);
            labels[i] = new QLabel(&host);
        }
        connection.emplace(port ? port : server.port(), timing);
        if (backupPort)
            backup.emplace(backupPort, timing);
        const CasparServers servers(*connection, backup ? &*backup : nullptr);
        const auto setStatus = [this](const QString &line) {
            if (waitBeforeLogging)
                arrivedBeforeLogged = server.waitForLines(waitBeforeLogging, 2000);
            history.append(line);
        };
        link.emplace(CasparLink::Controls{ip, button, lblCASPAR, [this](quint32 c) { lamps.append(c); }, setStatus,
                                          [this](quint32 c) { backupLamps.append(c); }, "127.0.0.1"},
                     trap, servers);
        triggers.emplace(TriggerSlots::Controls{boxes, labels}, trap, chooser);
        firing.emplace(Firing::Controls{lblLASTTRINGER, setStatus,
                                        [this](const FiringRecord &r) {
                                            records.push_back(r);
                                            asRun->fired(r, "CTS ON");
                                        }},
                       trap, *triggers, servers);
        preloader.emplace(*triggers, servers, setStatus);
        firing->setPreloader(&*preloader);
        triggers->watch([this](int slot) { preloader->slotChanged(slot); });
        for (int s = 0; s < servers.count(); ++s)
            QObject::connect(&servers.at(s), &CasparConnection::ready, [this, s] { preloader->serverReady(s); });
    }

    bool connectAndWait()
    {
        link->cmdCASPAR_Click();
        return QTest::qWaitFor([this] { return connection->isEstablished(); }, 5000);
    }

    quint32 lamp() const { return lamps.isEmpty() ? CasparLink::Red : lamps.last(); }
    quint32 backupLamp() const { return backupLamps.isEmpty() ? CasparLink::Red : backupLamps.last(); }
    void fire(int slot, const char *movie)
    {
        labels[slot]->setText(QString::fromLatin1(movie));
        firing->FIREME(qint16(slot));
    }
    // Movie, reply code and reply of each as-run row so far.
    QList<QStringList> replies() const
    {
        QList<QStringList> r;
        for (const QStringList &row : rows)
            r.append({row[2], row[4], row[5]});
        return r;
    }
    int historyCount(const QString &prefix) const
    {
        return int(
            std::count_if(history.begin(), history.end(), [&](const QString &l) { return l.startsWith(prefix); }));
    }

    AmcpResponder server;
    QWidget host;
    QLineEdit *ip;
    QPushButton *button;
    QLabel *lblCASPAR;
    QLabel *lblLASTTRINGER;
    std::array<QCheckBox *, 6> boxes{};
    std::array<QLabel *, 6> labels{};
    QStringList history;
    QList<quint32> lamps, backupLamps;
    QList<FiringRecord> records;
    QList<QStringList> rows;
    std::optional<vantor::app::AsRunRecord> asRun{std::in_place,
                                                  [this](qint64, const QStringList &c) { rows.append(c); }};
    int waitBeforeLogging = 0;
    bool arrivedBeforeLogged = false;
    ScriptedPrompter prompter;
    vantor::ErrorTrap trap{prompter, [] { QFAIL("the program would end"); }};
    NoChooser chooser;
    std::optional<CasparConnection> connection, backup;
    std::optional<CasparLink> link;
    std::optional<TriggerSlots> triggers;
    std::optional<Firing> firing;
    std::optional<Preloader> preloader;
};

} // namespace

class TestCaspar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sentBytesLeaveBeforeTheHistoryLine_data()
    {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("movie");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("condition");
        QTest::newRow("plain") << 0 << "intro.mov" << QByteArray("PLAY 1 intro.mov\r\n") << "CTS ON";
        QTest::newRow("spaces quoted") << 4 << "my clip.mov" << QByteArray("PLAY 1 \"my clip.mov\"\r\n") << "DSR OFF";
        QTest::newRow("utf-8") << 2 << QString::fromUtf8("Brücke")
                               << QByteArray("PLAY 1 Br\xc3\xbc"
                                             "cke\r\n")
                               << "CTS CHANGE";
        QTest::newRow("spaces only") << 5 << " " << QByteArray("PLAY 1 \" \"\r\n") << "DSR CHANGE";
    }

    void sentBytesLeaveBeforeTheHistoryLine()
    {
        QFETCH(int, slot);
        QFETCH(QString, movie);
        QFETCH(QByteArray, wire);
        QFETCH(QString, condition);
        Station s;
        QVERIFY(s.connectAndWait());
        s.history.clear();
        s.labels[slot]->setText(movie);
        s.waitBeforeLogging = 1; // the History line checks that the line is at the server already

        s.firing->FIREME(qint16(slot));

        QVERIFY(s.arrivedBeforeLogged);
        QCOMPARE(s.server.received(), wire);
        QCOMPARE(s.history, QStringList{"Fire Trigger. Play movie " + movie});
        QCOMPARE(s.lblLASTTRINGER->text(), condition);
        QVERIFY(s.prompter.prompts.empty());
    }

    // The operator's test fire goes the same road as a contact's, after a line that says so;
    // its record is marked, so that an as-run log tells the two apart.
    void testFireIsAFiringMarkedAsATest()
    {
        Station s;
        QVERIFY(s.connectAndWait());
        s.history.clear();
        s.labels[3]->setText(QStringLiteral("intro.mov"));
        s.firing->testFire(3);
        s.firing->FIREME(3);
        QVERIFY(s.server.waitForLines(2, 2000));
        QCOMPARE(s.server.received(), QByteArray("PLAY 1 intro.mov\r\nPLAY 1 intro.mov\r\n"));
        QCOMPARE(s.history,
                 (QStringList{"Test fire of DSR ON", "Fire Trigger. Play movie intro.mov",
                              "Fire Trigger. Play movie intro.mov"}));
        QCOMPARE(s.records.size(), 2);
        QVERIFY(s.records[0].test);
        QVERIFY(!s.records[1].test);
        QCOMPARE(s.records[0].outcome, QStringLiteral("Fire Trigger. Play movie intro.mov"));
        QVERIFY(s.records[0].sent);
        QCOMPARE(s.lblLASTTRINGER->text(), QStringLiteral("DSR ON"));
    }

    void notReadyWhileUnconnectedOrConnecting()
    {
        Station s;
        s.labels[0]->setText(QStringLiteral("intro.mov"));
        QCOMPARE(s.connection->state(), int(CasparConnection::Closed));
        s.firing->FIREME(0);

        s.link->cmdCASPAR_Click(); // the attempt runs on in the background
        QCOMPARE(s.connection->state(), int(CasparConnection::Connecting));
        s.firing->FIREME(1); // not ready wins over the empty movie

        const QStringList notReady{"***Fire Trigger. Caspar not ready", "***Fire Trigger. Caspar not ready"};
        QCOMPARE(s.history, notReady);
        QCOMPARE(s.lblLASTTRINGER->text(), QStringLiteral("***Caspar not ready"));

        QTRY_VERIFY(s.connection->isEstablished());
        QCOMPARE(s.connection->state(), int(CasparConnection::Connected));
        s.firing->FIREME(0);
        QVERIFY(s.server.waitForLines(1, 2000));
        QCOMPARE(s.server.texts(), QByteArrayList{"PLAY 1 intro.mov"}); // nothing sent before
    }

    void emptyAndInvalidMoviesAreNotSent()
    {
        Station s;
        QVERIFY(s.connectAndWait());
        s.history.clear();
        s.firing->FIREME(3);
        QCOMPARE(s.history.last(), QStringLiteral("***Fire Trigger. Empty movie"));
        QCOMPARE(s.lblLASTTRINGER->text(), QStringLiteral("***Empty movie"));

        s.labels[3]->setText(QStringLiteral("a.mov\r\nCLEAR 1"));
        s.firing->FIREME(3);
        QCOMPARE(s.history.last(), QStringLiteral("***Fire Trigger. Invalid movie"));
        QCOMPARE(s.lblLASTTRINGER->text(), QStringLiteral("***Invalid movie"));
        QCOMPARE(s.history.size(), 2);

        s.labels[3]->setText(QStringLiteral("b.mov"));
        s.firing->FIREME(3);
        QVERIFY(s.server.waitForLines(1, 2000));
        QCOMPARE(s.server.received(), QByteArray("PLAY 1 b.mov\r\n"));
    }

    void twoFiringsInOneMillisecondArriveTogether()
    {
        Station s;
        QVERIFY(s.connectAndWait());
        int nodelay = 0;
        socklen_t size = sizeof nodelay;
        QCOMPARE(::getsockopt(int(s.connection->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size), 0);
        QVERIFY(nodelay);

        s.labels[0]->setText(QStringLiteral("a.mov"));
        s.labels[3]->setText(QStringLiteral("b.mov"));
        s.firing->FIREME(0);
        s.firing->FIREME(3);
        QVERIFY(s.server.waitForLines(2, 2000));
        const auto lines = s.server.lines();
        QCOMPARE(s.server.texts(), (QByteArrayList{"PLAY 1 a.mov", "PLAY 1 b.mov"}));
        QVERIFY(lines[1].at - lines[0].at < std::chrono::milliseconds(1));
    }

    // Each failing line of the procedure is reported with its own number; after Ignore the
    // procedure goes on with the next line.
    void errorsReportedWithTheirLines()
    {
        Station s;
        QVERIFY(s.connectAndWait());
        s.history.clear();
        s.firing->FIREME(6); // no such slot
        QCOMPARE(int(s.prompter.prompts.size()), 3);
        const char *lines[] = {"Line 258", "Line 259", "Line 260"};
        for (int i = 0; i < 3; ++i) {
            const QString prompt = QString::fromStdString(s.prompter.prompts[i]);
            QVERIFY2(prompt.startsWith("Error 9\r\nSubscript out of range\r\nLocation: VANTOR.frmMAIN.FIREME\r\n"),
                     qPrintable(prompt));
            QVERIFY2(prompt.endsWith(lines[i]), qPrintable(prompt));
        }
        QVERIFY(s.history.isEmpty());
    }

    void failureRepliesAreLogged()
    {
        Station s;
        s.server.setReplier(AmcpResponder::failingClip("missing"));
        QVERIFY(s.connectAndWait());
        s.history.clear();
        s.labels[1]->setText(QStringLiteral("missing.mov"));
        s.labels[4]->setText(QStringLiteral("there.mov"));
        s.firing->FIREME(1);
        s.firing->FIREME(4);
        s.firing->FIREME(1);
        QTRY_COMPARE(s.historyCount("***Caspar replied: "), 2);
        QCOMPARE(s.history.filter("***Caspar replied: ").first(), QStringLiteral("***Caspar replied: 404 PLAY FAILED"));
        QCOMPARE(s.history.size(), 5); // three firings, two failures, no line for the success
    }

    void lampRedWhileRefusedGreenOnceListening()
    {
        Station s;
        s.server.stopListening();
        s.link->cmdCASPAR_Click();
        QCOMPARE(s.button->text(), QStringLiteral("Disconnect"));
        QCOMPARE(s.lblCASPAR->text(), QStringLiteral("CSP:127.0.0.1"));
        QCOMPARE(s.lamp(), CasparLink::Red);

        QTRY_COMPARE(s.historyCount("***Caspar connection failed: "), 1);
        QCOMPARE(s.history.first(), QStringLiteral("***Caspar connection failed: Connection refused"));
        QTRY_COMPARE(s.connection->state(), int(CasparConnection::Error));
        QTest::qWait(350); // several retries, still one line
        QCOMPARE(s.historyCount("***Caspar connection failed: "), 1);
        QCOMPARE(s.lamp(), CasparLink::Red);

        QVERIFY(s.server.listen());
        QTRY_COMPARE(s.lamp(), CasparLink::Green);
        QCOMPARE(s.history.last(), QStringLiteral("Caspar connected 127.0.0.1"));
        QCOMPARE(s.history.size(), 2);
    }

    void reconnectsAfterTheServerDropsTheConnection()
    {
        Station s;
        QVERIFY(s.connectAndWait());
        QCOMPARE(s.lamp(), CasparLink::Green);
        s.server.stopListening();
        s.server.dropClients();
        QTRY_COMPARE(s.lamp(), CasparLink::Red);
        QCOMPARE(s.history.filter("***Caspar connection lost: "),
                 QStringList{"***Caspar connection lost: The remote host closed the connection"});

        s.labels[2]->setText(QStringLiteral("back.mov"));
        s.firing->FIREME(2);
        QCOMPARE(s.history.last(), QStringLiteral("***Fire Trigger. Caspar not ready"));

        QVERIFY(s.server.listen());
        QTRY_COMPARE(s.lamp(), CasparLink::Green);
        QCOMPARE(s.historyCount("Caspar connected "), 2);
        QCOMPARE(s.button->text(), QStringLiteral("Disconnect"));
        s.firing->FIREME(2);
        QVERIFY(s.server.waitForLines(1, 2000));
        QCOMPARE(s.server.texts(), QByteArrayList{"PLAY 1 back.mov"});
    }

    // A server that accepts and closes at once: each such connection is a failed attempt (the
    // retries slow down to retryMs), History tells of the first two and then stays quiet, and
    // the lamp stays red, until a connection lasts. Never answered, none of them was ready.
    void connectionsEndingAtOnceAreFailedAttempts()
    {
        Station s(ConnectionTiming{50, 100, 2000, 400});
        QList<qint64> accepted;
        QElapsedTimer clock;
        clock.start();
        const auto closer = connect(&s.server, &AmcpResponder::clientConnected, &s.server, [&] {
            accepted.append(clock.elapsed());
            QMetaObject::invokeMethod(&s.server, &AmcpResponder::dropClients, Qt::QueuedConnection);
        });
        s.link->cmdCASPAR_Click();
        QTRY_VERIFY(accepted.size() >= 8);
        for (int i = 2; i < accepted.size(); ++i)
            QVERIFY2(accepted[i] - accepted[i - 1] >= 90, qPrintable(QString::number(accepted[i] - accepted[i - 1])));
        QCOMPARE(s.history.first(), "***Caspar connection lost: The remote host closed the connection");
        QVERIFY(s.history[1].startsWith("***Caspar connection lost again at once: "));
        QCOMPARE(s.history.size(), 2);
        QCOMPARE(s.lamps.count(CasparLink::Green), 0);

        // Still connecting all the while: once the server keeps a connection, it is not ready
        // (lamp red, firings refused alike) until it has lasted, then shown up and used.
        disconnect(closer);
        QCoreApplication::sendPostedEvents(&s.server, QEvent::MetaCall); // a drop still queued
        s.labels[0]->setText(QStringLiteral("back.mov"));
        QTRY_COMPARE(s.server.clientCount(), 1);
        s.firing->FIREME(0);
        const bool refused = s.history.last() == QStringLiteral("***Fire Trigger. Caspar not ready");
        QCOMPARE(s.lamp(), refused ? CasparLink::Red : CasparLink::Green);
        QTRY_COMPARE(s.lamp(), CasparLink::Green);
        QVERIFY(s.historyCount("Caspar connected 127.0.0.1 after ") == 1);
        s.firing->FIREME(0);
        QVERIFY(s.server.waitForLines(refused ? 1 : 2, 2000));
        QCOMPARE(s.server.texts().last(), "PLAY 1 back.mov");
        QCOMPARE(s.historyCount("***Caspar connection"), 2);
    }

    void disconnectClosesAndStopsRetrying()
    {
        Station s;
        QVERIFY(s.connectAndWait());
        s.ip->setText(QStringLiteral("192.0.2.1")); // read only at the next connect
        QCOMPARE(s.lblCASPAR->text(), QStringLiteral("CSP:127.0.0.1"));

        s.link->cmdCASPAR_Click();
        QCOMPARE(s.button->text(), QStringLiteral("Connect"));
        QCOMPARE(s.lblCASPAR->text(), QStringLiteral("CSP:"));
        QCOMPARE(s.lamp(), CasparLink::Red);
        QCOMPARE(s.connection->state(), int(CasparConnection::Closed));
        QTRY_COMPARE(s.server.clientCount(), 0);
        QTest::qWait(300); // longer than the retry delays
        QCOMPARE(s.server.clientCount(), 0);
        QCOMPARE(s.historyCount("***Caspar connection lost: "), 0);

        s.server.stopListening(); // a refused attempt, then Disconnect: no more attempts
        s.ip->setText(QStringLiteral("127.0.0.1"));
        s.link->cmdCASPAR_Click();
        QTRY_COMPARE(s.historyCount("***Caspar connection failed: "), 1);
        s.link->cmdCASPAR_Click();
        QVERIFY(s.server.listen());
        QTest::qWait(300);
        QCOMPARE(s.server.clientCount(), 0);
        QVERIFY(!s.connection->isEstablished());
    }

    void outageIsFoundAndNothingArrivesLate_data()
    {
        QTest::addColumn<bool>("pulledCable");
        QTest::newRow("frozen server") << false;
        QTest::newRow("pulled cable") << true;
    }
    void outageIsFoundAndNothingArrivesLate()
    {
        QFETCH(bool, pulledCable);
        std::optional<Cable> cable;
        QThread inNamespace;
        AmcpResponder far;
        if (pulledCable) {
            cable.emplace();
            if (!cable->setUp())
                QSKIP("no network namespace here (needs root and iproute2): the pulled cable is not tried");
            far.moveToThread(&inNamespace);
            inNamespace.start();
            bool listening = false;
            QMetaObject::invokeMethod(
                &far,
                [&] {
                    const int fd = ::open(qPrintable("/run/netns/" + cable->ns), O_RDONLY | O_CLOEXEC);
                    listening = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0 && far.listenOn(cable->server);
                    ::close(fd);
                },
                Qt::BlockingQueuedConnection);
            QVERIFY(listening);
        }
        const auto quitThread = qScopeGuard([&] {
            inNamespace.quit();
            inNamespace.wait();
        });
        Station r(ConnectionTiming{}, 0, pulledCable ? cable->server : QHostAddress::LocalHost,
                  pulledCable ? far.port() : 0);
        AmcpResponder &server = pulledCable ? far : r.server;
        const auto outage = [&](bool on) {
            if (pulledCable)
                QVERIFY(cable->set(!on));
            else
                server.setFrozen(on);
        };

        r.link->cmdCASPAR_Click();
        QTRY_COMPARE(r.lamp(), CasparLink::Green);
        r.fire(0, "before.mov");
        QTRY_COMPARE(server.lineCount(), 1);

        QElapsedTimer clock;
        clock.start();
        outage(true);
        if (pulledCable) // sent into the dead link: the reset must drop it
            r.fire(1, "lost.mov");
        QTRY_COMPARE_WITH_TIMEOUT(r.lamp(), CasparLink::Red, 5000);
        QVERIFY2(clock.elapsed() <= 2000 + Slack, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(r.history.contains("***Caspar connection lost: no answer for 1.5 s"),
                 qPrintable(r.history.join("\n")));
        r.fire(2, "refused.mov");
        QCOMPARE(r.history.last(), "***Fire Trigger. Caspar not ready");

        clock.restart();
        outage(false);
        QTRY_COMPARE_WITH_TIMEOUT(r.lamp(), CasparLink::Green, 5000);
        r.fire(3, "after.mov");
        QTRY_COMPARE(server.lineCount(), 2);
        QVERIFY2(clock.elapsed() <= 2000 + Slack, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(server.texts(), (QByteArrayList{"PLAY 1 before.mov", "PLAY 1 after.mov"}));
        // Each row its own reply: the unanswered one shifts nothing on the next connection.
        QList<QStringList> rows{
            {"before.mov", "202", "202 PLAY OK"}, {"refused.mov", "", ""}, {"after.mov", "202", "202 PLAY OK"}};
        if (pulledCable)
            rows.insert(1, {"lost.mov", "", "no reply: no answer for 1.5 s"});
        QTRY_COMPARE(r.replies(), rows);
    }

    // Each server on its own: a frozen backup never holds up the main one, nor a dead main the backup.
    void backupTakesEveryFiringAndWaitsForNone()
    {
        AmcpResponder backup;
        QVERIFY(backup.listen());
        Station r(ConnectionTiming{}, backup.port());
        r.link->cmdCASPAR_Click();
        QTRY_COMPARE(r.lamp(), CasparLink::Green);
        QTRY_COMPARE(r.backupLamp(), CasparLink::Green);
        r.fire(0, "both.mov");
        QVERIFY(r.server.waitForLines(1, 2000));
        QVERIFY(backup.waitForLines(1, 2000));
        QCOMPARE(r.history.mid(r.history.size() - 2),
                 (QStringList{"Fire Trigger. Play movie both.mov", "Fire Trigger. Play movie both.mov (backup)"}));

        backup.setFrozen(true);
        QTRY_COMPARE_WITH_TIMEOUT(r.backupLamp(), CasparLink::Red, 5000);
        QVERIFY(r.history.contains("***Caspar connection lost: no answer for 1.5 s (backup)"));
        r.fire(0, "main.mov");
        QVERIFY(r.server.waitForLines(2, 2000));
        QCOMPARE(r.history.last(), "***Fire Trigger. Caspar not ready (backup)");
        QCOMPARE(r.lamps.mid(r.lamps.indexOf(CasparLink::Green)).count(CasparLink::Red), 0);

        backup.setFrozen(false);
        QTRY_COMPARE_WITH_TIMEOUT(r.backupLamp(), CasparLink::Green, 5000);
        r.server.stopListening();
        r.server.dropClients();
        QTRY_COMPARE(r.lamp(), CasparLink::Red);
        r.fire(0, "backup.mov");
        QVERIFY(backup.waitForLines(2, 2000));
        QCOMPARE(backup.texts().last(), "PLAY 1 backup.mov");
        QCOMPARE(r.lblLASTTRINGER->text(), "CTS ON");
        QCOMPARE(r.history.mid(r.history.size() - 2),
                 (QStringList{"***Fire Trigger. Caspar not ready", "Fire Trigger. Play movie backup.mov (backup)"}));
    }

    // A command that uses up or clears a pre-loaded layer's background drops the load's
    // confirmation and loads it again; the cue until that load is confirmed goes out in full.
    void preloadUsedUpOrClearedIsLoadedAgain_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("layer");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("clear of the layer") << int(SlotAction::Clear) << 10 << QByteArray("CLEAR 1-10");
        QTest::newRow("clear of the channel")
            << int(SlotAction::Clear) << SlotAddress::NoLayer << QByteArray("CLEAR 1");
        QTest::newRow("another clip") << int(SlotAction::Play) << 10 << QByteArray("PLAY 1-10 other.mov");
    }
    void preloadUsedUpOrClearedIsLoadedAgain()
    {
        QFETCH(int, action);
        QFETCH(int, layer);
        QFETCH(QByteArray, wire);
        Station s;
        s.labels[0]->setText(QStringLiteral("intro.mov"));
        s.labels[1]->setText(QStringLiteral("other.mov"));
        QVERIFY(s.triggers->setCommand(0, {{1, 10}, SlotAction::PlayPreloaded}));
        QVERIFY(s.triggers->setCommand(1, {{1, layer}, SlotAction(action)}));
        s.boxes[0]->setChecked(true);
        s.triggers->chkTRIGGER_Click(0);
        QVERIFY(s.connectAndWait());
        QTRY_VERIFY(s.preloader->confirmed(0, CasparServers::Main));
        s.firing->FIREME(0);
        QTRY_VERIFY(s.preloader->confirmed(0, CasparServers::Main));

        s.firing->FIREME(1);
        s.firing->FIREME(0); // before the load after it can be confirmed
        QVERIFY(s.server.waitForLines(7, 2000));
        const QByteArray load = "LOADBG 1-10 intro.mov";
        QCOMPARE(s.server.texts(), (QByteArrayList{load, "PLAY 1-10", load, wire, load, "PLAY 1-10 intro.mov", load}));
        QCOMPARE(s.history.last(), "Fire Trigger. Play movie intro.mov on 1-10, not pre-loaded: sent in full");
        QTRY_VERIFY(s.preloader->confirmed(0, CasparServers::Main));
    }

    // A cue that the server cannot begin to run within 1.5 s of its contact is refused and
    // written, never sent later, and never opens a box: behind a slow server's queue, and at a
    // server that answers nothing but PING (where the cap on waiting commands was a box).
    void cuesTheLinkCannotRunInTimeAreRefused_data()
    {
        QTest::addColumn<int>("paceMs");
        QTest::addColumn<int>("cues");
        QTest::newRow("slow server") << 200 << 15;
        QTest::newRow("server answering only PING") << AmcpResponder::Held << CasparConnection::MaxWaiting + 50;
    }
    void cuesTheLinkCannotRunInTimeAreRefused()
    {
        QFETCH(int, paceMs);
        QFETCH(int, cues);
        Station s;
        s.server.setPace([paceMs](const QByteArray &line) { return line == "PING" ? 0 : paceMs; });
        QVERIFY(s.connectAndWait());
        if (paceMs != AmcpResponder::Held) { // the server's pace is known
            s.fire(0, "first.mov");
            QTRY_COMPARE(s.records.size(), 1);
            QTRY_COMPARE(s.rows.size(), 1);
        }
        const int before = s.server.lineCount();
        s.records.clear();
        s.history.clear();
        for (int i = 0; i < cues; ++i)
            s.fire(0, qPrintable(QStringLiteral("m%1.mov").arg(i)));

        const QStringList refusals = s.history.filter(QStringLiteral("***Fire Trigger. not sent: "));
        QVERIFY(!refusals.isEmpty());
        QVERIFY2(QRegularExpression("^\\*\\*\\*Fire Trigger\\. not sent: \\d+ commands? waiting for \\d+\\.\\d s$")
                     .match(refusals.first())
                     .hasMatch(),
                 qPrintable(refusals.first()));
        QVERIFY(s.prompter.prompts.empty());
        QStringList sent, refused;
        for (const FiringRecord &r : std::as_const(s.records))
            (r.sent ? sent : refused).append(r.movie);
        QCOMPARE(refused.size(), refusals.size());
        QCOMPARE(s.lblLASTTRINGER->text(), "***Not sent");

        // What was sent runs; nothing refused ever reaches the server.
        int answered = 0;
        QObject::connect(&*s.connection, &CasparConnection::replied, [&answered] { ++answered; });
        s.server.setPace([](const QByteArray &) { return 0; });
        s.server.release();
        QTRY_COMPARE(answered, sent.size());
        QCOMPARE(s.server.lineCount(), before + sent.size());
        for (const QByteArray &line : s.server.texts().mid(before))
            QVERIFY(!refused.contains(QString::fromUtf8(line.mid(7))));
        QTRY_COMPARE(s.rows.size(), cues + before);
        QCOMPARE(std::count_if(s.rows.begin(), s.rows.end(),
                               [](const QStringList &row) { return row[3].startsWith("not sent: "); }),
                 refused.size());
        QCOMPARE(s.historyCount("***Caspar connection lost"), 0);
    }

    // A server that takes long over one PLAY but answers PING on a connection of its own is
    // alive: no reset; a cue a second later goes out at once on another connection; the late
    // reply is written and its as-run row keeps its time.
    void slowIsNotDeadAndLateIsSaid()
    {
        Station s(ConnectionTiming{});
        s.server.setPace([](const QByteArray &line) { return line.contains("slow") ? AmcpResponder::Held : 0; });
        QVERIFY(s.connectAndWait());
        s.fire(0, "slow.mov");
        QVERIFY(s.server.waitForLines(1, 2000));
        const int pings = s.server.pings();
        QTRY_VERIFY_WITH_TIMEOUT(s.server.pings() >= pings + 2, 5000); // over a second on
        s.fire(3, "next.mov");
        QCOMPARE(s.history.last(), "Fire Trigger. Play movie next.mov");
        QVERIFY(s.server.waitForLines(2, 2000));                       // while slow.mov still runs
        QTRY_VERIFY_WITH_TIMEOUT(s.server.pings() >= pings + 3, 5000); // past slow.mov's bound
        s.server.release();

        QTRY_COMPARE(s.rows.size(), 2);
        QCOMPARE(s.replies(),
                 (QList<QStringList>{{"slow.mov", "202", "202 PLAY OK"}, {"next.mov", "202", "202 PLAY OK"}}));
        QVERIFY2(s.rows[0][6].toDouble() > 1500, qPrintable(s.rows[0][6]));
        const QStringList late = s.history.filter(QRegularExpression(
            "^\\*\\*\\*PLAY 1 slow\\.mov answered after \\d+\\.\\d s, after the later PLAY 1 next\\.mov$"));
        QCOMPARE(late.size(), 1);
        QCOMPARE(s.historyCount("***Caspar connection"), 0);
        QCOMPARE(s.lamps.mid(s.lamps.indexOf(CasparLink::Green)).count(CasparLink::Red), 0);
    }

    // Each reply must name the command it answers; a shifted, missing or duplicated reply, or
    // a line without a status, resets the link with a line, and no row takes another's reply.
    void repliesAreCheckedAgainstTheirCommands_data()
    {
        QTest::addColumn<QByteArrayList>("toClear");
        QTest::addColumn<QByteArrayList>("toPlay");
        QTest::addColumn<QString>("fault");
        QTest::newRow("another command's reply") << QByteArrayList{"202 CLEAR OK"} << QByteArrayList{"202 LOADBG OK"}
                                                 << "reply \"202 LOADBG OK\" to PLAY 1-10 b.mov";
        QTest::newRow("missing reply") << QByteArrayList{} << QByteArrayList{"202 PLAY OK"}
                                       << "reply \"202 PLAY OK\" to CLEAR 1-10";
        QTest::newRow("duplicate reply") << QByteArrayList{"202 CLEAR OK", "202 CLEAR OK"}
                                         << QByteArrayList{"202 PLAY OK"}
                                         << "reply \"202 CLEAR OK\" to PLAY 1-10 b.mov";
        QTest::newRow("stray empty line") << QByteArrayList{"", "202 CLEAR OK"} << QByteArrayList{"202 PLAY OK"}
                                          << "an empty line where the reply to CLEAR 1-10 was due";
        QTest::newRow("line without a status") << QByteArrayList{"CLEARED"} << QByteArrayList{"202 PLAY OK"}
                                               << "\"CLEARED\" where the reply to CLEAR 1-10 was due";
    }
    void repliesAreCheckedAgainstTheirCommands()
    {
        QFETCH(QByteArrayList, toClear);
        QFETCH(QByteArrayList, toPlay);
        QFETCH(QString, fault);
        Station s;
        s.server.setReplier([=](const QByteArray &line) {
            return line.startsWith("CLEAR") ? toClear
                : line.startsWith("PLAY")   ? toPlay
                                            : AmcpResponder::standardReply(line);
        });
        s.labels[0]->setText(QStringLiteral("b.mov"));
        QVERIFY(s.triggers->setCommand(0, {{1, 10}, SlotAction::Play}));
        QVERIFY(s.triggers->setCommand(1, {{1, 10}, SlotAction::Clear}));
        QVERIFY(s.connectAndWait());
        s.firing->FIREME(1); // one layer: both on one connection, in this order
        s.firing->FIREME(0);

        QTRY_VERIFY2(s.history.contains("***Caspar connection lost: protocol fault: " + fault),
                     qPrintable(s.history.join('\n')));
        QTRY_COMPARE(s.rows.size(), 2);
        for (const QStringList &row : std::as_const(s.rows)) {
            const QString verb = row[7].section(' ', 0, 0);
            QVERIFY2(row[5].startsWith("no reply: protocol fault: ") || row[5].section(' ', 1, 1) == verb,
                     qPrintable(row.join(',')));
        }
        QTRY_COMPARE(s.lamp(), CasparLink::Green); // connected again
    }

    // An unfinished 200 on the liveness connection is ended by the next PONG, which answers
    // its PING: the server is not taken for dead.
    void pongEndsAnUnfinished200()
    {
        Station s(ConnectionTiming{});
        int pings = 0;
        s.server.setReplier([&pings](const QByteArray &line) {
            if (line == "PING")
                return ++pings == 1 ? QByteArrayList{"200 PING OK"} : QByteArrayList{"PONG"};
            return AmcpResponder::standardReply(line);
        });
        QVERIFY(s.connectAndWait());
        QTRY_VERIFY_WITH_TIMEOUT(pings >= 4, 8000);
        QCOMPARE(s.historyCount("***Caspar connection"), 0);
        QCOMPARE(s.lamp(), CasparLink::Green);
    }

    // A backup that is the main server (same address and port) would play every cue twice.
    void backupThatIsTheMainServerIsRefused()
    {
        Station s(ConnectionTiming{50, 100, 2000}, Station::SameServer);
        QVERIFY(s.connectAndWait());
        const QString refused = QStringLiteral("***Backup server 127.0.0.1 not used: it is the main server "
                                               "(127.0.0.1 port %1)")
                                    .arg(s.server.port());
        QTRY_VERIFY2(s.history.contains(refused), qPrintable(s.history.join('\n')));
        s.fire(0, "once.mov");
        QTRY_COMPARE(s.rows.size(), 2);
        QCOMPARE(s.server.texts(), QByteArrayList{"PLAY 1 once.mov"});
        QCOMPARE(s.history.last(), "***Fire Trigger. Caspar not ready (backup)");
        QCOMPARE(s.backupLamp(), CasparLink::Red);
    }

    // Disconnect and the program's end close every connection normally; only a connection
    // found dead is reset.
    void operatorAndProgramEndsCloseNormally_data()
    {
        QTest::addColumn<bool>("byOperator");
        QTest::newRow("Disconnect") << true;
        QTest::newRow("program's end") << false;
    }
    void operatorAndProgramEndsCloseNormally()
    {
        QFETCH(bool, byOperator);
        HostilePlayoutPeer peer;
        QVERIFY(peer.listen());
        int open = 0;
        {
            Station s(ConnectionTiming{50, 100, 2000}, 0, QHostAddress::LocalHost, peer.port());
            QVERIFY(s.connectAndWait());
            s.fire(0, "a.mov");
            QTRY_COMPARE(s.rows.size(), 1);
            QTRY_COMPARE(peer.openConnections(), s.connection->connectionCount());
            open = peer.openConnections();
            if (byOperator)
                s.link->cmdCASPAR_Click();
        }
        QTRY_COMPARE(peer.openConnections(), 0);
        QCOMPARE(peer.endedByReset(), 0);
        QCOMPARE(peer.endedNormally(), open);
    }
};

QTEST_MAIN(TestCaspar)
#include "tst_caspar.moc"
