// The tally contact: level and pulse on the port service, on a network serial port (through
// the RFC 2217 session, against the contact simulator's server), and a local tty that has no
// DTR line. The real 8250 UART's DTR is read back with TIOCMGET in tally_vm.
#include "contactserver.h"
#include "fakeserialportservice.h"
#include "pseudoterminal.h"
#include "recordingsink.h"

#include "errortrap/runtimeerror.h"
#include "onair/tally.h"
#include "serial/rfc2217/rfc2217backend.h"
#include "serial/tty/ttybackend.h"

#include <QSignalSpy>
#include <QtTest>

using namespace vantor;
using namespace vantor::onair;
using namespace std::chrono_literals;

namespace {

class TestClock : public OnAirClock
{
public:
    TimePoint t = TimePoint{} + 1h;
    TimePoint now() const override { return t; }
};

// A channel-layer that plays `path` (2.0.7 layout), last heard `age` ago.
LayerView playing(const TestClock &clock, const char *path, std::chrono::milliseconds age = 0ms)
{
    LayerView v;
    v.layout = Layout::Classic;
    v.lastDatagram = clock.t - age;
    if (*path) {
        v.layer = LayerState{1, 10, {}, {}, v.lastDatagram};
        v.layer->foreground.path = path;
        v.layer->foreground.fileAt = v.lastDatagram;
    }
    return v;
}

serial::SettingsString settings()
{
    return *serial::SettingsString::parse(QStringLiteral("9600,N,8,1"));
}

} // namespace

class TestTally : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsItsMode_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("pulseMs"); // -1: refused, 0: level
        QTest::newRow("level") << "dtr" << 0;
        QTest::newRow("pulse") << "dtr:pulse=200" << 200;
        QTest::newRow("pulse too short") << "dtr:pulse=5" << -1;
        QTest::newRow("pulse without a length") << "dtr:pulse=" << -1;
        QTest::newRow("another line") << "rts" << -1;
    }

    void readsItsMode()
    {
        QFETCH(QString, text);
        QFETCH(int, pulseMs);
        const auto mode = Tally::Mode::parse(text);
        QCOMPARE(mode ? (mode->pulse ? mode->pulseMs : 0) : -1, pulseMs);
    }

    // Level: asserted while a clip fired from here is on air; dropped when it stops, another
    // clip takes its layer, or its server goes silent.
    void theLevelFollowsTheClipOnAir_data()
    {
        QTest::addColumn<QString>("now");
        QTest::addColumn<int>("silentMs");
        QTest::addColumn<bool>("asserted");
        QTest::newRow("still on air") << "intro.mov" << 0 << true;
        QTest::newRow("stopped") << "" << 0 << false;
        QTest::newRow("another clip") << "outro.mov" << 0 << false;
        QTest::newRow("server silent") << "intro.mov" << 1500 << false;
    }

    void theLevelFollowsTheClipOnAir()
    {
        QFETCH(QString, now);
        QFETCH(int, silentMs);
        QFETCH(bool, asserted);
        FakeSerialPortService port;
        TestClock clock;
        Tally tally(
            Tally::Mode{}, [&port](bool level) { port.setDtr(level); }, clock);
        port.setPortOpen(true);
        tally.start();
        tally.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        const QByteArray path = now.toUtf8();
        tally.check([&](OscReceiver::Server, int, int) {
            return playing(clock, path.constData(), std::chrono::milliseconds(silentMs));
        });
        QCOMPARE(port.dtrLevels, (QList<bool>{false, true} + (asserted ? QList<bool>{} : QList<bool>{false})));
        QCOMPARE(tally.asserted(), asserted);
    }

    void aPulseForEachFiringOnAir()
    {
        FakeSerialPortService port;
        SteadyOnAirClock clock;
        Tally tally(
            Tally::Mode{true, 50}, [&port](bool level) { port.setDtr(level); }, clock);
        port.setPortOpen(true);
        tally.start();
        QElapsedTimer pulse;
        pulse.start();
        tally.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QCOMPARE(port.dtrLevels, (QList<bool>{false, true}));
        QTRY_COMPARE(port.dtrLevels, (QList<bool>{false, true, false}));
        QVERIFY(pulse.elapsed() >= 50);
    }

    // A port that cannot drive the line is said once, not at every firing.
    void aLineThatCannotBeDrivenIsSaidOnce()
    {
        FakeSerialPortService port;
        TestClock clock;
        Tally tally(
            Tally::Mode{}, [&port](bool level) { port.setDtr(level); }, clock);
        QSignalSpy failed(&tally, &Tally::lineFailed);
        port.setPortOpen(true);
        port.dtrError = 8012;
        tally.start();
        tally.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        tally.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QCOMPARE(failed.size(), 1);
        port.dtrError.reset();
        tally.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QCOMPARE(port.dtrLevels, QList<bool>{true});
    }

    // Through the RFC 2217 session: SET-CONTROL DTR ON/OFF reach the server, RTS stays on, and
    // a level set before the open is the one the settings carry.
    void aNetworkPortCarriesTheTally()
    {
        ContactServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        serial::Rfc2217Backend backend;
        backend.setDtr(false);
        RecordingSink sink;
        backend.open(QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port()), settings(), sink);
        QTRY_VERIFY(server.state().lineMask >= 0);
        QVERIFY(!server.state().dtr);
        QVERIFY(server.state().rts);

        SteadyOnAirClock clock;
        Tally level(
            Tally::Mode{}, [&backend](bool on) { backend.setDtr(on); }, clock);
        level.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QTRY_VERIFY(server.state().dtr);
        level.release();
        QTRY_VERIFY(!server.state().dtr);

        Tally pulse(
            Tally::Mode{true, 100}, [&backend](bool on) { backend.setDtr(on); }, clock);
        pulse.start();
        pulse.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QTRY_VERIFY(server.state().dtr);
        QTRY_VERIFY(!server.state().dtr);
        QVERIFY(server.state().rts);
        QTest::qWait(50);
        QVERIFY2(sink.notices().isEmpty(), qPrintable(sink.notices().join(QLatin1Char('\n'))));
    }

    void aServerWithoutTheComPortOptionCannotCarryIt()
    {
        ContactServer server;
        server.setBehaviour({true, true, false, 0});
        QVERIFY(server.listen(QHostAddress::LocalHost));
        serial::Rfc2217Backend backend;
        RecordingSink sink;
        backend.open(QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port()), settings(), sink);
        QTRY_VERIFY(!sink.notices().isEmpty());
        QVERIFY_THROWS_EXCEPTION(RuntimeError, backend.setDtr(false));
    }

    // A pseudo-terminal, like a USB modem adapter without the line, has no DTR: setting it is
    // refused with a reason rather than taken silently.
    void aTtyWithoutDtrRefusesIt()
    {
        PseudoTerminal pty;
        QVERIFY(pty.isValid());
        serial::TtyBackend backend;
        RecordingSink sink;
        backend.open(pty.slavePath(), settings(), sink);
        try {
            backend.setDtr(false);
            QFAIL("DTR was taken");
        } catch (const RuntimeError &e) {
            QVERIFY2(QString::fromStdString(e.description()).startsWith(QStringLiteral("No DTR line to drive on: ")),
                     e.what());
        }
    }
};

QTEST_GUILESS_MAIN(TestTally)
#include "tst_tally.moc"
