// The tally contact on the real 8250 driver, inside uart-vm:
//   uart-vm run --timeout 120 tally_vm
// The port opened by the tty backend drives DTR; a second descriptor of the same UART reads
// the lines back with TIOCMGET (RTS must stay asserted: it feeds the contacts), and in the
// UART's loopback DTR drives DSR, so the pulse is seen as the port's own DSR events.
#include "loopbackport.h"
#include "recordingsink.h"

#include "onair/tally.h"
#include "serial/tty/ttybackend.h"

#include <QtTest>

#include <sys/ioctl.h>

using namespace vantor;
using namespace vantor::onair;

namespace {

const QString Uart = QStringLiteral("/dev/ttyS1");

int lines(const LoopbackPort &loop)
{
    int bits = 0;
    return ::ioctl(loop.fd(), TIOCMGET, &bits) == 0 ? bits : -1;
}

} // namespace

class TestTallyOnUart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!QFile::exists(Uart))
            QSKIP("not inside the uart-vm virtual machine");
    }

    void levelAndPulseDriveDtrAlone()
    {
        LoopbackPort loop(Uart.toLatin1().constData());
        QVERIFY2(loop.ok(), loop.error().c_str());
        serial::TtyBackend port;
        port.setDtr(false);
        RecordingSink sink;
        port.open(Uart, *serial::SettingsString::parse(QStringLiteral("9600,N,8,1")), sink);
        QCOMPARE(lines(loop) & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);
        sink.clear();

        SteadyOnAirClock clock;
        Tally level(
            Tally::Mode{}, [&port](bool on) { port.setDtr(on); }, clock);
        level.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QCOMPARE(lines(loop) & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
        QTRY_COMPARE(sink.changes(), QStringList{"4:on"});
        level.release();
        QCOMPARE(lines(loop) & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);
        QTRY_COMPARE(sink.changes(), (QStringList{"4:on", "4:off"}));

        sink.clear();
        Tally pulse(
            Tally::Mode{true, 100}, [&port](bool on) { port.setDtr(on); }, clock);
        pulse.start();
        pulse.onAir(OscReceiver::Main, 1, 10, QStringLiteral("intro"));
        QTRY_COMPARE_WITH_TIMEOUT(sink.changes().size(), 2, 5000);
        QCOMPARE(sink.changes(), (QStringList{"4:on", "4:off"}));
        QVERIFY(lines(loop) & TIOCM_RTS);
        port.close();
    }
};

QTEST_GUILESS_MAIN(TestTallyOnUart)
#include "tally_vm.moc"
