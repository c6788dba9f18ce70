// What the service manager hears from the window thread: the watchdog pings keep their cadence
// and stop while the event loop is blocked or a box nobody answers waits past its grace, the
// status line follows the lamps, the firings and the boxes; a notification socket that is not
// there is no service manager; the close button's end is one the unit does not restart.
#include "notifysocket.h"
#include "windowfixture.h"

#include "app/monitor/operatorclose.h"
#include "app/monitor/servicenotifier.h"
#include "app/monitor/stationstatus.h"

#include <QCloseEvent>
#include <QFile>
#include <QRegularExpression>
#include <QtTest/qtestspontaneevent.h>

#include <thread>

using namespace vantor;

class TestServiceNotices : public QObject
{
    Q_OBJECT

    NotifySocket m_socket;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_socket.ok());
        qputenv("NOTIFY_SOCKET", m_socket.path());
        qputenv("WATCHDOG_USEC", "1000000"); // pings every 0.5 s
        qunsetenv("WATCHDOG_PID");
    }

    void watchdogPingsStopWhileTheLoopIsBlocked()
    {
        app::ServiceNotifier notifier;
        QCOMPARE(notifier.pingInterval(), std::chrono::milliseconds(500));
        const size_t start = m_socket.take().size();
        notifier.ready(QStringLiteral("starting"));
        QCOMPARE(m_socket.waitFor("READY=1", start), int(start));
        const int first = m_socket.waitFor("WATCHDOG=1", start + 1);
        const int fourth = m_socket.waitFor("WATCHDOG=1", size_t(first) + 3);
        QVERIFY(fourth > first);
        const auto &pings = m_socket.take();
        for (int i = first + 1; i <= fourth; ++i) // each within the watchdog time of the one before
            QVERIFY(pings[size_t(i)].atMs - pings[size_t(i - 1)].atMs < 1000);

        // A window thread stuck for three ping intervals sends nothing.
        const size_t before = m_socket.take().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the hang itself
        QCOMPARE(m_socket.take().size(), before);
        QVERIFY(m_socket.waitFor("WATCHDOG=1", before) >= 0); // and the pings come back with the loop

        notifier.stopping();
        QVERIFY(m_socket.waitFor("STOPPING=1", before) >= 0);
    }

    void statusFollowsTheLampsAndFirings()
    {
        WindowFixture f;
        app::ServiceNotifier notifier;
        app::StationStatus status(f.w(), f.port);
        connect(&status, &app::StationStatus::changed, &notifier, &app::ServiceNotifier::setStatus);
        const size_t start = m_socket.take().size();
        notifier.ready(status.text());
        QVERIFY(m_socket.waitFor("STATUS=COM 1 closed, Caspar not connected, no fire yet", start) >= 0);

        QVERIFY(f.goOnAir());
        QVERIFY(m_socket.waitFor("STATUS=COM 1 open, Caspar connected, no fire yet", start) >= 0);

        f.arm(0, "/media/intro.mov");
        f.port.changeCts(true);
        const int fired = m_socket.waitFor(" CTS ON intro.mov", start);
        QVERIFY(fired >= 0);
        QVERIFY(m_socket.take()[size_t(fired)].text.startsWith("STATUS=COM 1 open, Caspar connected, last fire "));

        f.server.stopListening();
        f.server.dropClients();
        QVERIFY(m_socket.waitFor("STATUS=COM 1 open, Caspar not connected, last fire ", size_t(fired)) >= 0);

        status.setWaiting(QStringLiteral("waiting for an answer to Error 5 at frmMAIN.FIREME, line 3"));
        QVERIFY(m_socket.waitFor("STATUS=waiting for an answer to Error 5 at frmMAIN.FIREME, line 3; COM 1 open, ",
                                 size_t(fired))
                >= 0);
    }

    // A box nobody can see (an unattended start) is a hang once it has waited its grace: the
    // pings stop, the status says so, and they come back when it is answered.
    void aBoxNobodyAnswersStopsThePingsAfterItsGrace()
    {
        app::ServiceNotifier notifier;
        notifier.setBoxGrace(std::chrono::milliseconds(1000));
        const size_t start = m_socket.take().size();
        notifier.ready(QStringLiteral("on air"));
        notifier.setBoxOpen(true);
        const int held = m_socket.waitFor("STATUS=on air (no answer for 1 s: watchdog pings stopped", start);
        QVERIFY(held >= 0);
        QTest::qWait(1500); // three ping times, none of them sent
        const size_t answered = m_socket.take().size();
        QCOMPARE(m_socket.waitFor("WATCHDOG=1", size_t(held), 0), -1);
        notifier.setBoxOpen(false);
        QVERIFY(m_socket.waitFor("WATCHDOG=1", answered) >= 0);
        notifier.stopping();
    }

    // A variable left over from a service manager that is gone must not switch off the boxes.
    void aNotificationSocketMustBeThere_data()
    {
        QTest::addColumn<QByteArray>("socket");
        QTest::addColumn<bool>("there");
        QTest::newRow("listening") << m_socket.path() << true;
        QTest::newRow("nothing at the path") << m_socket.path() + "-gone" << false;
        QTest::newRow("a regular file") << QByteArray("/proc/self/status") << false;
    }
    void aNotificationSocketMustBeThere()
    {
        QFETCH(QByteArray, socket);
        qputenv("NOTIFY_SOCKET", socket);
        const bool found = app::ServiceNotifier::underServiceManager();
        qputenv("NOTIFY_SOCKET", m_socket.path());
        QTEST(found, "there");
    }

    // The unit restarts every end but the close button's, whose status is its
    // RestartPreventExitStatus=; the signals' close (SIGTERM, SIGINT) ends with 0.
    void theCloseButtonsEndIsOneTheUnitDoesNotRestart()
    {
        QFile unit(QStringLiteral(UNIT_FILE));
        QVERIFY(unit.open(QIODevice::ReadOnly));
        const QString notRestarted = QRegularExpression(QStringLiteral("\nRestartPreventExitStatus=(.*)\n"))
                                         .match(QString::fromUtf8(unit.readAll()))
                                         .captured(1);
        QWidget byButton, bySignal;
        const app::OperatorClose button(byButton), signal(bySignal);
        QCloseEvent fromTheWindowSystem;
        QSpontaneKeyEvent::setSpontaneous(&fromTheWindowSystem);
        QCoreApplication::instance()->notify(&byButton, &fromTheWindowSystem); // as QTest delivers its own
        bySignal.close();
        QCOMPARE(notRestarted, QString::number(button.exitStatus(0)));
        QCOMPARE(signal.exitStatus(0), 0);
    }
};

QTEST_MAIN(TestServiceNotices)
#include "tst_servicenotices.moc"
