// The playout link on air: a server that stops answering or whose cable is pulled is found
// within 2 s, nothing queued for it arrives later, each as-run row takes its own reply, and a
// backup server takes every firing without being waited for.
#include "playout/casparlink.h"
#include "playout/casparservers.h"
#include "playout/filechooser.h"
#include "playout/firing.h"
#include "playout/triggerslots.h"

#include "app/station/asrunrecord.h"

#include "amcpresponder.h"
#include "scriptedprompter.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using namespace vantor::playout;

namespace {

// Scheduling slack of a loaded machine on top of the stated 2 s.
constexpr int Slack = 400;

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

// The Caspar page and the slots, on a main server and an optional backup, with the as-run rows.
struct Rig
{
    explicit Rig(bool withBackup = false, QHostAddress mainAt = QHostAddress::LocalHost, quint16 mainPort = 0)
    {
        ip = new QLineEdit(mainAt.toString(), &host);
        button = new QPushButton(QStringLiteral("Connect"), &host);
        label = new QLabel(&host);
        last = new QLabel(&host);
        for (int i = 0; i < TriggerSlots::Count; ++i) {
            boxes[i] = new QCheckBox(&host);
            labels[i] = new QLabel(&host);
        }
        QVERIFY(mainPort || main.listen());
        main_.emplace(mainPort ? mainPort : main.port());
        if (withBackup) {
            QVERIFY(backup.listen());
            backup_.emplace(backup.port());
        }
        const CasparServers servers(*main_, backup_ ? &*backup_ : nullptr);
        const auto status = [this](const QString &line) { history.append(line); };
        CasparLink::Controls controls{ip, button, label, [this](quint32 c) { lamps[0].append(c); }, status};
        controls.setBackupLamp = [this](quint32 c) { lamps[1].append(c); };
        controls.backupHost = QStringLiteral("127.0.0.1");
        link.emplace(controls, trap, servers);
        triggers.emplace(TriggerSlots::Controls{boxes, labels}, trap, chooser);
        firing.emplace(Firing::Controls{last, status,
                                        [this](const FiringRecord &r) { asRun->fired(r, QStringLiteral("CTS ON")); }},
                       trap, *triggers, servers);
    }

    void fire(int slot, const char *movie)
    {
        labels[slot]->setText(QString::fromLatin1(movie));
        firing->FIREME(qint16(slot));
    }
    quint32 lamp(int server = 0) const { return lamps[server].isEmpty() ? CasparLink::Red : lamps[server].last(); }
    // Movie, reply code and reply of each row written so far.
    QList<QStringList> replies() const
    {
        QList<QStringList> r;
        for (const QStringList &row : rows)
            r.append({row[2], row[4], row[5]});
        return r;
    }

    AmcpResponder main, backup;
    QWidget host;
    QLineEdit *ip;
    QPushButton *button;
    QLabel *label, *last;
    std::array<QCheckBox *, 6> boxes{};
    std::array<QLabel *, 6> labels{};
    ScriptedPrompter prompter;
    vantor::ErrorTrap trap{prompter};
    NoChooser chooser;
    std::optional<CasparConnection> main_, backup_;
    std::optional<CasparLink> link;
    std::optional<TriggerSlots> triggers;
    std::optional<Firing> firing;
    QList<QStringList> rows;
    std::optional<vantor::app::AsRunRecord> asRun{std::in_place,
                                                  [this](qint64, const QStringList &columns) { rows.append(columns); }};
    QStringList history;
    std::array<QList<quint32>, 2> lamps;
};

} // namespace

class TestPlayoutLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
        Rig r(false, pulledCable ? cable->server : QHostAddress::LocalHost, pulledCable ? far.port() : 0);
        AmcpResponder &server = pulledCable ? far : r.main;
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
        if (pulledCable)
            QCOMPARE(r.replies()[1], (QStringList{"lost.mov", "", "no reply: no answer for 1.5 s"}));
    }

    // Through an unanswered command and a dropped connection, every row keeps its own reply.
    void asRunRowsKeepTheirOwnReplies()
    {
        Rig r;
        bool mute = false;
        r.main.setReplier([&](const QByteArray &line) -> QByteArrayList {
            mute = mute || line.contains("hang");
            return mute ? QByteArrayList{} : AmcpResponder::failingClip("missing")(line);
        });
        r.link->cmdCASPAR_Click();
        QTRY_COMPARE(r.lamp(), CasparLink::Green);
        r.fire(0, "a.mov");
        r.fire(1, "hang.mov");
        r.fire(2, "missing.mov"); // behind the unanswered one, on the same connection
        QTRY_COMPARE_WITH_TIMEOUT(r.rows.size(), 3, 5000);
        mute = false;
        QTRY_COMPARE_WITH_TIMEOUT(r.lamp(), CasparLink::Green, 5000);
        r.fire(2, "missing.mov");
        r.fire(0, "a.mov");
        QTRY_COMPARE(r.rows.size(), 5);
        mute = true;
        r.fire(0, "a.mov");
        r.main.dropClients();
        QTRY_COMPARE(r.rows.size(), 6);

        const QString noAnswer = "no reply: no answer for 1.5 s";
        QCOMPARE(r.replies(),
                 (QList<QStringList>{{"a.mov", "202", "202 PLAY OK"},
                                     {"hang.mov", "", noAnswer},
                                     {"missing.mov", "", noAnswer},
                                     {"missing.mov", "404", "404 PLAY FAILED"},
                                     {"a.mov", "202", "202 PLAY OK"},
                                     {"a.mov", "", "no reply: the connection ended"}}));
        bool isNumber = false;
        QVERIFY(r.rows[0][6].toDouble(&isNumber) < 1500 && isNumber);
    }

    // Each server on its own: a frozen backup never holds up the main one, nor a dead main the backup.
    void backupTakesEveryFiringAndWaitsForNone()
    {
        Rig r(true);
        r.link->cmdCASPAR_Click();
        QTRY_COMPARE(r.lamp(0), CasparLink::Green);
        QTRY_COMPARE(r.lamp(1), CasparLink::Green);
        r.fire(0, "both.mov");
        QVERIFY(r.main.waitForLines(1, 2000));
        QVERIFY(r.backup.waitForLines(1, 2000));
        QCOMPARE(r.history.mid(r.history.size() - 2),
                 (QStringList{"Fire Trigger. Play movie both.mov", "Fire Trigger. Play movie both.mov (backup)"}));

        r.backup.setFrozen(true);
        QTRY_COMPARE_WITH_TIMEOUT(r.lamp(1), CasparLink::Red, 5000);
        QVERIFY(r.history.contains("***Caspar connection lost: no answer for 1.5 s (backup)"));
        r.fire(0, "main.mov");
        QVERIFY(r.main.waitForLines(2, 2000));
        QCOMPARE(r.history.last(), "***Fire Trigger. Caspar not ready (backup)");
        QCOMPARE(r.lamps[0].mid(r.lamps[0].indexOf(CasparLink::Green)).count(CasparLink::Red), 0);

        r.backup.setFrozen(false);
        QTRY_COMPARE_WITH_TIMEOUT(r.lamp(1), CasparLink::Green, 5000);
        r.main.stopListening();
        r.main.dropClients();
        QTRY_COMPARE(r.lamp(0), CasparLink::Red);
        r.fire(0, "backup.mov");
        QVERIFY(r.backup.waitForLines(2, 2000));
        QCOMPARE(r.backup.texts().last(), "PLAY 1 backup.mov");
        QCOMPARE(r.last->text(), "CTS ON");
        QCOMPARE(r.history.mid(r.history.size() - 2),
                 (QStringList{"***Fire Trigger. Caspar not ready", "Fire Trigger. Play movie backup.mov (backup)"}));
    }
};

QTEST_MAIN(TestPlayoutLink)
#include "tst_playoutlink.moc"
