// The local tty backend against the real 8250 driver, inside uart-vm:
//   uart-vm run --timeout 120 ttybackend_vm
// A second descriptor of the same UART (root passes the exclusive open) works the loopback:
// RTS drives CTS, DTR drives DSR, sent bytes come back.

#include "loopbackport.h"
#include "recordingsink.h"
#include "serial/system/portprobe.h"
#include "serial/tty/ttybackend.h"

#include "errortrap/runtimeerror.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sys/ioctl.h>
#include <termios.h>

using namespace vantor;
using namespace vantor::serial;

namespace {

const QString Uart = QStringLiteral("/dev/ttyS1");

SettingsString settings(const char *text)
{
    return *SettingsString::parse(QString::fromLatin1(text));
}

} // namespace

class TestTtyBackendOnUart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!QFile::exists(Uart))
            QSKIP("not inside the uart-vm virtual machine");
    }

    // The contacts read ON only while the open port holds RTS (and DTR) asserted.
    void openPortHoldsRtsAndDtrAsserted()
    {
        LoopbackPort loop(Uart.toLatin1().constData());
        QVERIFY2(loop.ok(), loop.error().c_str());
        TtyBackend port;
        RecordingSink sink;
        port.open(Uart, settings("9600,N,8,1"), sink);
        QCOMPARE(port.watchMethod(), LineWatcher::Method::Interrupt);
        QVERIFY(sink.notices().isEmpty());
        QTRY_VERIFY(port.cts());
        QTRY_VERIFY(port.dsr());
        int lines = 0;
        QVERIFY(::ioctl(loop.fd(), TIOCMGET, &lines) == 0);
        QVERIFY(lines & TIOCM_RTS);
        QVERIFY(lines & TIOCM_DTR);
        port.close();
    }

    void lineChangesBecomeEventsWithTheirLevels()
    {
        LoopbackPort loop(Uart.toLatin1().constData());
        TtyBackend port;
        RecordingSink sink;
        port.open(Uart, settings("9600,N,8,1"), sink);
        QTest::qWait(20);
        sink.clear();
        QStringList expected;
        for (int i = 0; i < 50; ++i) {
            loop.drop(TIOCM_RTS);
            expected << "3:off";
            QTRY_COMPARE_WITH_TIMEOUT(sink.changes(), expected, 2000);
            loop.raise(TIOCM_RTS);
            expected << "3:on";
            QTRY_COMPARE_WITH_TIMEOUT(sink.changes(), expected, 2000);
        }
        loop.drop(TIOCM_DTR);
        loop.raise(TIOCM_DTR);
        expected << "4:off"
                 << "4:on";
        QTRY_COMPARE(sink.changes(), expected);
        port.close();
    }

    void sentBytesComeBackAsReceiveEvents()
    {
        LoopbackPort loop(Uart.toLatin1().constData());
        TtyBackend port;
        RecordingSink sink;
        port.open(Uart, settings("115200,N,8,1"), sink);
        port.write("AT+GMM\r");
        QTRY_COMPARE(sink.received(), QByteArray("AT+GMM\r"));
        port.close();
    }

    void settingsReachTheDriver_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("set");
        QTest::addColumn<uint>("clear");
        QTest::addColumn<uint>("speed");
        QTest::newRow("none") << "9600,N,8,1" << uint(CS8) << uint(PARENB | CSTOPB) << uint(B9600);
        QTest::newRow("even") << "19200,E,7,1" << uint(CS7 | PARENB) << uint(PARODD | CMSPAR) << uint(B19200);
        QTest::newRow("odd") << "2400,O,8,2" << uint(CS8 | PARENB | PARODD | CSTOPB) << uint(CMSPAR) << uint(B2400);
        QTest::newRow("mark") << "9600,M,8,1" << uint(CS8 | PARENB | CMSPAR | PARODD) << uint(CSTOPB) << uint(B9600);
        QTest::newRow("space") << "1200,S,7,2" << uint(CS7 | PARENB | CMSPAR | CSTOPB) << uint(PARODD) << uint(B1200);
        QTest::newRow("1.5 stop bits") << "300,N,5,1.5" << uint(CS5 | CSTOPB) << uint(PARENB) << uint(B300);
    }

    void settingsReachTheDriver()
    {
        QFETCH(QString, text);
        QFETCH(uint, set);
        QFETCH(uint, clear);
        QFETCH(uint, speed);
        LoopbackPort loop(Uart.toLatin1().constData());
        TtyBackend port;
        RecordingSink sink;
        port.open(Uart, *SettingsString::parse(text), sink);
        termios t{};
        QVERIFY(::tcgetattr(loop.fd(), &t) == 0);
        QCOMPARE(uint(t.c_cflag & (CSIZE | set)), uint(set)); // CSIZE: exactly the asked size
        QCOMPARE(uint(t.c_cflag & clear), 0u);
        QCOMPARE(uint(cfgetospeed(&t)), speed);
        QVERIFY(t.c_cflag & CLOCAL);            // opening never waits for carrier
        QVERIFY(!(t.c_cflag & CRTSCTS));        // no hardware flow control
        QVERIFY(!(t.c_iflag & (IXON | IXOFF))); // nor software flow control
        // The watcher still hears the lines after the settings were applied.
        QTest::qWait(20);
        sink.clear();
        loop.drop(TIOCM_RTS);
        QTRY_COMPARE(sink.changes(), QStringList({"3:off"}));
        port.close();
    }

    // The 8250 driver keeps a node for every UART slot; the probe tells a fitted one from an
    // empty slot by its type in sysfs, without opening either.
    void probeTellsAFittedUartFromAnEmptySlot()
    {
        SystemPortProbe probe;
        QCOMPARE(probe.check(Uart), SystemPortProbe::Verdict::Available);
        int emptySlots = 0;
        for (const char *name : {"ttyS2", "ttyS3"}) {
            QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(QLatin1String(name)));
            if (!type.open(QIODevice::ReadOnly) || type.readAll().trimmed() != "0")
                continue;
            ++emptySlots;
            QCOMPARE(probe.check(QStringLiteral("/dev/") + QLatin1String(name)), SystemPortProbe::Verdict::NoChip);
        }
        QVERIFY2(emptySlots > 0, "the virtual machine has no empty UART slot to look at");
    }

    void secondOpenIsRefusedAndCloseIsPrompt()
    {
        TtyBackend first;
        TtyBackend second;
        RecordingSink sink;
        first.open(Uart, settings("9600,N,8,1"), sink);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, second.open(Uart, settings("9600,N,8,1"), sink));
        QTest::qWait(50); // the watcher is asleep in the driver now
        QElapsedTimer clock;
        clock.start();
        first.close();
        QVERIFY2(clock.elapsed() < 500, "closing waited for the watcher");
        second.open(Uart, settings("9600,N,8,1"), sink);
        second.close();
    }
};

QTEST_GUILESS_MAIN(TestTtyBackendOnUart)
#include "ttybackend_vm.moc"
