// On air, confirmed, end to end through the window: a contact fires, the fake playout server
// (tools/amcp-monitor: its command answers, and its OSC from OscPlayout, main on 127.0.0.1 and
// backup on 127.0.0.2) plays or fails to, and the verdict reaches History, the window, the
// as-run record, the metrics and the tally contact. Without --confirm nothing of it shows.
#include "filetext.h"
#include "logmessages.h"
#include "windowfixture.h"

#include "amcpmonitor.h"
#include "oscplayout.h"

#include "app/confirm/onairconfirmation.h"
#include "app/confirm/tallycontact.h"
#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/station/csvwriter.h"
#include "app/station/logfiles.h"
#include "app/window/lamp.h"
#include "playout/preloader.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vantor;
using namespace std::chrono_literals;
using onair::OscReceiver;
using Version = OscPlayout::Version;

Q_DECLARE_METATYPE(OscPlayout::Version)

namespace {

// A fake playout server: answers commands on `address` and sends its OSC from there. A PLAY it
// answers 202 shows its clip unless `plays` is false (the layer keeps what it had); likewise a
// LOADBG and `loads`.
struct FakeServer
{
    AmcpMonitor amcp;
    OscPlayout osc;
    bool plays = true;
    bool loads = true;

    FakeServer(const char *address, quint16 oscPort, Version version, bool sending)
    {
        const QHostAddress at(QString::fromLatin1(address));
        amcp.listen(at, 0);
        osc.setVersion(version);
        osc.bindSource(at);
        osc.addTarget(QHostAddress::LocalHost, oscPort);
        QObject::connect(&amcp, &AmcpMonitor::played, &osc,
                         [this](const QHostAddress &, int c, int l, const QString &clip) {
                             if (plays)
                                 osc.play(c, l, clip, amcp.fileOf(clip));
                         });
        QObject::connect(&amcp, &AmcpMonitor::loaded, &osc,
                         [this](const QHostAddress &, int c, int l, const QString &clip) {
                             if (loads)
                                 osc.loadBackground(c, l, clip, amcp.fileOf(clip));
                         });
        if (sending)
            osc.start();
    }
};

struct Scene
{
    Version version = Version::V22;
    bool backup = false;
    bool confirm = true;
    std::chrono::milliseconds deadline = 3000ms;
    std::optional<onair::Tally::Mode> tally = {};
    bool osc = true; // the main server sends its state
};

// The window on air with the fake servers, its records in a temporary folder and its metrics
// on a board; with confirmation unless told otherwise.
struct Station
{
    OscReceiver receiver;
    std::unique_ptr<FakeServer> main, backup;
    QTemporaryDir dir;
    std::unique_ptr<WindowFixture> f;
    std::unique_ptr<app::LogFiles> files;
    app::StatusBoard board;
    std::unique_ptr<app::StatusFeed> feed;
    std::unique_ptr<app::OnAirConfirmation> confirmation;
    std::unique_ptr<app::TallyContact> tally;

    explicit Station(const Scene &s)
    {
        QVERIFY(receiver.start(0, QHostAddress::LocalHost));
        main = std::make_unique<FakeServer>("127.0.0.1", receiver.port(), s.version, s.osc);
        app::Options options;
        options.debounce = 0ms;
        if (s.backup) {
            backup = std::make_unique<FakeServer>("127.0.0.2", receiver.port(), s.version, true);
            options.backupServer = QStringLiteral("127.0.0.2");
        }
        f = std::make_unique<WindowFixture>(options, false, main->amcp.port(), backup ? backup->amcp.port() : 0);
        files = std::make_unique<app::LogFiles>(dir.path(), w(), f->port, s.confirm);
        feed = std::make_unique<app::StatusFeed>(board, w(), f->port);
        feed->addServer(0, *f->caspar);
        if (backup)
            feed->addServer(1, *f->backup);
        if (s.confirm) {
            confirmation = std::make_unique<app::OnAirConfirmation>(w(), receiver, s.deadline);
            feed->followOnAir([this](int server) { return receiver.lastDatagram(OscReceiver::Server(server)); });
        }
        if (s.tally)
            tally = std::make_unique<app::TallyContact>(*s.tally, w(), f->port, confirmation.get());
        w().Form_Load();
        QVERIFY(f->goOnAir());
        if (backup)
            QTRY_COMPARE(w().findChild<app::Lamp *>("shpCASPARBACKUP")->fillColor(), app::Lamp::Green);
        w().history().clear();
    }

    app::MainWindow &w() { return f->w(); }
    void arm(int slot, const QString &movie, playout::SlotCommand command = {{1, 10}})
    {
        f->arm(slot, "/media/" + movie);
        QVERIFY(w().triggerSlots().setCommand(slot, command));
    }
    QStringList history() const { return logMessages(f->window->history()); }
    // The first History message that matches, once there is one.
    QString waitFor(const QRegularExpression &pattern)
    {
        QStringList found;
        (void)QTest::qWaitFor([&] { return !(found = history().filter(pattern)).isEmpty(); }, 10000);
        return found.value(0);
    }
    QString waitFor(const QString &start)
    {
        return waitFor(QRegularExpression('^' + QRegularExpression::escape(start)));
    }
    // The as-run record's rows, header first, once it has `rows` of them.
    QList<QStringList> asRun(int rows)
    {
        const QString path = files->writer().fileName(app::LogFiles::AsRun, QDate::currentDate());
        QList<QStringList> out;
        (void)QTest::qWaitFor([&] { return (out = parseCsv(fileText(path))).size() >= rows; }, 10000);
        return out;
    }
    double metric(const QByteArray &series)
    {
        feed->poll();
        for (const QByteArray &line :
             QByteArray::fromStdString(board.metricsText(app::StatusBoard::Clock::now())).split('\n'))
            if (line.startsWith(series + ' '))
                return line.mid(series.size() + 1).toDouble();
        return -1;
    }
    QLabel *lastTrigger() { return w().findChild<QLabel *>("lblLASTTRINGER"); }
};

} // namespace

class TestOnAirConfirmation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each layout's state confirms the clip on the slot's channel-layer; with a backup, each
    // server is judged on its own state, told apart by the address it sends from.
    void confirmsTheClipFromTheServersState_data()
    {
        QTest::addColumn<Version>("version");
        QTest::addColumn<bool>("defaultSlot");
        QTest::addColumn<bool>("backup");
        QTest::newRow("2.0.7, PLAY 1 movie") << Version::V207 << true << false;
        QTest::newRow("2.2, on 1-10, with a backup") << Version::V22 << false << true;
        QTest::newRow("2.3, on 1-10") << Version::V23 << false << false;
    }

    void confirmsTheClipFromTheServersState()
    {
        QFETCH(Version, version);
        QFETCH(bool, defaultSlot);
        QFETCH(bool, backup);
        Station s({version, backup});
        s.arm(0, "intro.mov", defaultSlot ? playout::SlotCommand{} : playout::SlotCommand{{1, 10}});
        s.f->port.changeCts(true);
        const QString confirmed =
            "^On air: CTS ON intro\\.mov on " + QString(defaultSlot ? "1" : "1-10") + " after \\d+ ms";
        QStringList lines{s.waitFor(QRegularExpression(confirmed + '$'))};
        QVERIFY2(!lines[0].isEmpty(), qPrintable(s.history().join('\n')));
        if (backup) {
            lines << s.waitFor(QRegularExpression(confirmed + " \\(backup\\)$"));
            QVERIFY2(!lines[1].isEmpty(), qPrintable(s.history().join('\n')));
            QCOMPARE(s.metric(R"(vantor_onair_confirmation_seconds_count{server="backup"})"), 1.0);
        }
        QTRY_COMPARE(s.lastTrigger()->accessibleDescription(), lines.join('\n'));
        QCOMPARE(s.lastTrigger()->toolTip(), lines.join('\n'));
        QCOMPARE(s.lastTrigger()->text(), QStringLiteral("CTS ON")); // the caption stays

        const QList<QStringList> rows = s.asRun(backup ? 3 : 2);
        QCOMPARE(rows[0].mid(9), (QStringList{"on air ms", "on air"}));
        QCOMPARE(rows[1].value(10), QStringLiteral("confirmed"));
        QVERIFY(rows[1].value(9).toDouble() > 0);
        QCOMPARE(s.metric(R"(vantor_onair_confirmation_seconds_count{server="main"})"), 1.0);
        QVERIFY(s.metric(R"(vantor_osc_seconds_since_last_bundle{server="main"})") >= 0);
        const auto page = s.board.pageView(app::StatusBoard::Clock::now()).firings;
        QCOMPARE(page.size(), size_t(backup ? 2 : 1));
        for (const app::StatusBoard::Entry &e : page)
            QVERIFY(e.onAir == app::StatusBoard::Entry::OnAir::Confirmed && e.onAirMs > 0);
    }

    // The deadline passes without the clip on air: History says what the server plays, as do the
    // as-run record and the metrics; the health check is not its business.
    void saysWhatTheServerPlaysInstead_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("label");
        QTest::newRow("another clip") << "other"
                                      << "1-10 plays other.mov" << QByteArray("other_clip");
        QTest::newRow("nothing") << "nothing"
                                 << "nothing" << QByteArray("nothing");
        QTest::newRow("paused") << "pause"
                                << "paused" << QByteArray("paused");
        QTest::newRow("stalled") << "stall"
                                 << "stalled" << QByteArray("stalled");
    }

    void saysWhatTheServerPlaysInstead()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        QFETCH(QByteArray, label);
        Station s({Version::V22, false, true, 300ms});
        if (const auto f = OscPlayout::faultOf(fault))
            s.main->osc.setFault(*f);
        else
            s.main->plays = false;
        if (fault == "other")
            s.main->osc.play(1, 10, "other.mov", "other.mov");
        s.arm(0, "intro.mov");
        s.f->port.changeCts(true);
        const QString line = "***Not on air: CTS ON intro.mov on 1-10, " + reason;
        QCOMPARE(s.waitFor(QStringLiteral("***Not on air: ")), line);
        QCOMPARE(s.lastTrigger()->accessibleDescription(), line);
        QCOMPARE(s.asRun(2)[1].mid(9), (QStringList{"", "not confirmed: " + reason}));
        const app::StatusBoard::Entry page = s.board.pageView(app::StatusBoard::Clock::now()).firings.at(0);
        QCOMPARE(page.onAir, app::StatusBoard::Entry::OnAir::NotConfirmed);
        QCOMPARE(QString::fromUtf8(page.notOnAirWhy.view().data(), qsizetype(page.notOnAirWhy.view().size())), reason);
        QCOMPARE(s.metric(R"(vantor_firings_not_on_air_total{reason=")" + label + R"(",server="main"})"), 1.0);
        QCOMPARE(s.metric(R"(vantor_onair_confirmation_seconds_count{server="main"})"), 0.0);
        QCOMPARE(s.board.health(app::StatusBoard::Clock::now()).text, std::string("ok\n"));
    }

    // The backup playing another clip is the backup's fault alone: each server's state is
    // its own, told apart by the address it sends from.
    void eachServerIsJudgedOnItsOwnState()
    {
        Station s({Version::V22, true});
        s.backup->plays = false;
        s.backup->osc.play(1, 10, "other.mov", "other.mov");
        s.arm(0, "intro.mov");
        s.f->port.changeCts(true);
        QVERIFY(!s.waitFor(QRegularExpression("^On air: CTS ON intro\\.mov on 1-10 after \\d+ ms$")).isEmpty());
        QCOMPARE(s.waitFor(QStringLiteral("***Not on air: ")),
                 "***Not on air: CTS ON intro.mov on 1-10, 1-10 plays other.mov (backup)");
        QCOMPARE(s.lastTrigger()->accessibleDescription().split('\n').size(), 2);
        QCOMPARE(s.metric(R"(vantor_firings_not_on_air_total{reason="other_clip",server="backup"})"), 1.0);
        QCOMPARE(s.metric(R"(vantor_onair_confirmation_seconds_count{server="main"})"), 1.0);
    }

    // A server that sends no state is said once, with what to check, however many firings find
    // none; it is said again only after it has sent and stopped again.
    void aSilentServerIsSaidOnce()
    {
        Station s({Version::V22, false, true, 200ms, {}, false});
        s.arm(0, "intro.mov");
        const QString silent = QStringLiteral("***No on-air state from the playout server 127.0.0.1: is its OSC sent "
                                              "to this machine's port %1? (casparcg.config <osc>, a firewall)")
                                   .arg(s.receiver.port());
        const QString none = "***Not on air: CTS ON intro.mov on 1-10, no state from the server";
        for (int firing = 1; firing <= 2; ++firing) {
            s.f->port.changeCts(true);
            QTRY_COMPARE(s.history().count(none), firing);
            s.f->port.changeCts(false);
        }
        QCOMPARE(s.history().count(silent), 1);
        QCOMPARE(s.metric(R"(vantor_firings_not_on_air_total{reason="no_state",server="main"})"), 2.0);
        QCOMPARE(s.metric(R"(vantor_osc_seconds_since_last_bundle{server="main"})"), -1.0); // no sample yet

        s.main->osc.start();
        QVERIFY(!s.waitFor(QStringLiteral("On-air state from the playout server 127.0.0.1 again")).isEmpty());
        QVERIFY(s.metric(R"(vantor_osc_seconds_since_last_bundle{server="main"})") >= 0);
        s.main->osc.halt();
        QTRY_COMPARE_WITH_TIMEOUT(s.history().count(silent), 2, 10000);
    }

    // A pre-loaded clip is looked for in the layer's background before the cue, where the
    // server says what its background holds (2.2 and later).
    void aPreloadedClipIsLookedForInTheBackground_data()
    {
        QTest::addColumn<Version>("version");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("said");
        QTest::newRow("2.2, in the background") << Version::V22 << true << false;
        QTest::newRow("2.2, not in the background") << Version::V22 << false << true;
        QTest::newRow("2.0.7 does not say") << Version::V207 << false << false;
    }

    void aPreloadedClipIsLookedForInTheBackground()
    {
        QFETCH(Version, version);
        QFETCH(bool, shown);
        QFETCH(bool, said);
        Station s({version});
        s.main->loads = shown;
        s.main->osc.play(1, 10, "before.mov", "before.mov"); // the clip before plays meanwhile
        s.arm(0, "intro.mov", {{1, 10}, playout::SlotAction::PlayPreloaded});
        QTRY_VERIFY(s.w().preloader().confirmed(0, 0));
        const onair::TimePoint loadedAt = onair::Clock::now();
        QTRY_VERIFY(s.receiver.lastDatagram(OscReceiver::Main) > loadedAt + 50ms); // a frame or two later
        s.f->port.changeCts(true);
        QVERIFY(!s.waitFor(QStringLiteral("On air: CTS ON intro.mov on 1-10 after ")).isEmpty());
        QCOMPARE(s.history().contains("Fire Trigger. Play pre-loaded movie intro.mov on 1-10"), true);
        const QString notLoaded =
            "***Not pre-loaded: CTS ON intro.mov on 1-10 was not in the background before the cue";
        QCOMPARE(s.history().contains(notLoaded), said);
    }

    // The tally contact: with confirmation it follows the server's state (level: up while the
    // clip plays, down when another takes the layer); without, the server's 202 (down at the
    // 202 of this program's Stop of the layer).
    void theTallyFollowsWhatIsOnAir_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<bool>("pulse");
        QTest::newRow("level, confirmed") << true << false;
        QTest::newRow("pulse, confirmed") << true << true;
        QTest::newRow("level, by the 202") << false << false;
        QTest::newRow("pulse, by the 202") << false << true;
    }

    void theTallyFollowsWhatIsOnAir()
    {
        QFETCH(bool, confirm);
        QFETCH(bool, pulse);
        Station s({Version::V22, false, confirm, 3000ms, onair::Tally::Mode{pulse, 100}});
        s.arm(0, "intro.mov");
        s.arm(1, "intro.mov", {{1, 10}, playout::SlotAction::Stop});
        QCOMPARE(s.f->port.dtrLevels, QList<bool>{false}); // dropped before any firing, from the open on
        s.f->port.changeCts(true);
        QTRY_COMPARE(s.f->port.dtrLevels, (QList<bool>{false, true}));
        if (confirm)
            QVERIFY(!s.history().filter("On air: ").isEmpty()); // not before the server showed it
        if (!pulse && confirm)
            s.main->osc.play(1, 10, "other.mov", "other.mov");
        else if (!pulse)
            s.f->port.changeCts(false); // the Stop slot
        QTRY_COMPARE(s.f->port.dtrLevels, (QList<bool>{false, true, false}));
    }

    // Without --confirm: no verdict, no description, no on-air columns, no on-air metrics, DTR
    // left alone.
    void nothingChangesWithoutConfirmation()
    {
        Station s({Version::V22, false, false});
        s.arm(0, "intro.mov");
        s.f->port.changeCts(true);
        const QList<QStringList> rows = s.asRun(2);
        QCOMPARE(rows[0], app::AsRunRecord::header());
        QCOMPARE(rows[1].size(), 9);
        // The server's state keeps coming, and nothing is made of it.
        QSignalSpy sent(&s.main->osc, &OscPlayout::ticked);
        QTRY_VERIFY(sent.size() >= 10);
        QCOMPARE(s.history(), (QStringList{"Fire Trigger. Play movie intro.mov on 1-10", "CTS change to : ON"}));
        QVERIFY(s.lastTrigger()->accessibleDescription().isEmpty() && s.lastTrigger()->toolTip().isEmpty());
        const std::string metrics = s.board.metricsText(app::StatusBoard::Clock::now());
        QVERIFY(metrics.find("vantor_onair") == std::string::npos && metrics.find("vantor_osc") == std::string::npos);
        QVERIFY(s.f->port.dtrLevels.isEmpty());
    }
};

QTEST_MAIN(TestOnAirConfirmation)
#include "tst_onairconfirmation.moc"
