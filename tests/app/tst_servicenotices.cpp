// What the service manager hears from the window thread: the watchdog pings keep their cadence
// and stop while the event loop is blocked, and the status line follows the lamps and firings.
#include "notifysocket.h"
#include "windowfixture.h"

#include "app/monitor/servicenotifier.h"
#include "app/monitor/stationstatus.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"

#include <QCheckBox>
#include <QPushButton>

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

        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        QVERIFY(m_socket.waitFor("STATUS=COM 1 open, Caspar connected, no fire yet", start) >= 0);

        f.w().findChild<QCheckBox *>("chkTRIGGER(0)")->click();
        f.chooser.choices.push_back("/media/intro.mov");
        QTest::mouseDClick(f.w().findChild<app::ClickableLabel *>("lblTRIGERMOVIE(0)"), Qt::LeftButton);
        f.port.changeCts(true);
        const int fired = m_socket.waitFor(" CTS ON intro.mov", start);
        QVERIFY(fired >= 0);
        QVERIFY(m_socket.take()[size_t(fired)].text.startsWith("STATUS=COM 1 open, Caspar connected, last fire "));

        f.server.stopListening();
        f.server.dropClients();
        QVERIFY(m_socket.waitFor("STATUS=COM 1 open, Caspar not connected, last fire ", size_t(fired)) >= 0);
    }
};

QTEST_MAIN(TestServiceNotices)
#include "tst_servicenotices.moc"
