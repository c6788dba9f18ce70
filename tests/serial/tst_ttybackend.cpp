#include "serial/system/portprobe.h"
#include "serial/system/systemserialportservice.h"
#include "serial/tty/ttybackend.h"

#include "errortrap/runtimeerror.h"
#include "pseudoterminal.h"
#include "recordingsink.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vantor;
using namespace vantor::serial;

namespace {

const SettingsString Default = *SettingsString::parse("9600,N,8,1");

// Runs f as an unprivileged user when the tests run as root (root passes every access check).
template <class F>
auto asUnprivileged(F f)
{
    const bool root = ::geteuid() == 0;
    if (root && ::seteuid(65534) != 0)
        qFatal("cannot drop privileges");
    auto result = f();
    if (root && ::seteuid(0) != 0)
        qFatal("cannot regain privileges");
    return result;
}

std::chrono::milliseconds cpuTime()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return std::chrono::milliseconds(qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}

// A pid that is certainly not running: a child that has exited and been reaped.
qint64 deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

PortMap mapWith(qint16 number, const QString &target)
{
    PortMap map([] { return QStringList(); });
    map.pin({number, target});
    return map;
}

} // namespace

class TestTtyBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensReceivesSendsAndCloses()
    {
        PseudoTerminal pty;
        QVERIFY(pty.isValid());
        TtyBackend port;
        RecordingSink sink;
        port.open(pty.slavePath(), Default, sink);
        QVERIFY(port.isOpen());

        QVERIFY(pty.send("+++\r\nOK\r\n"));
        QTRY_COMPARE(sink.received(), QByteArray("+++\r\nOK\r\n"));

        port.write("AT\r");
        QCOMPARE(pty.receive(1000, 3), QByteArray("AT\r"));
        QCOMPARE(pty.receive(100), QByteArray()); // nothing more than the three bytes

        port.close();
        QVERIFY(!port.isOpen());
        QVERIFY(sink.lostReports().isEmpty());
        port.open(pty.slavePath(), Default, sink); // closed cleanly: it opens again
        port.close();
    }

    // A pseudo-terminal has no modem lines: the port opens for data, says so once, and does
    // not spin.
    void unwatchableLinesAreANoticeNotAHangOrABusyLoop()
    {
        PseudoTerminal pty;
        TtyBackend port;
        RecordingSink sink;
        port.open(pty.slavePath(), Default, sink);
        QCOMPARE(port.watchMethod(), LineWatcher::Method::Unsupported);
        QCOMPARE(sink.notices().size(), 1);
        QVERIFY(sink.notices().first().contains(pty.slavePath()));
        QVERIFY(sink.notices().first().contains("open for data only"));
        QVERIFY(!port.cts());
        QVERIFY(!port.dsr());

        const auto before = cpuTime();
        QTest::qWait(500);
        QVERIFY2(cpuTime() - before < std::chrono::milliseconds(100), "the open port keeps the processor busy");
        port.close();
    }

    void secondOpenIsRefusedAsPortInUse()
    {
        PseudoTerminal pty;
        TtyBackend first;
        TtyBackend second;
        RecordingSink sink;
        first.open(pty.slavePath(), Default, sink);
        try {
            second.open(pty.slavePath(), Default, sink);
            QFAIL("a second open of the same device succeeded");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), 8005);
            QCOMPARE(QString::fromStdString(e.description()), "Port in use by another program: " + pty.slavePath());
        }
        QVERIFY(!second.isOpen());
        first.close();
        second.open(pty.slavePath(), Default, sink);
        QVERIFY(second.isOpen());
    }

    void openFailuresCarryErrnoAndPath()
    {
        TtyBackend port;
        RecordingSink sink;
        auto failure = [&](const QString &path, const SettingsString &settings = Default) {
            try {
                port.open(path, settings, sink);
            } catch (const RuntimeError &e) {
                return QStringLiteral("%1 %2").arg(e.number()).arg(QString::fromStdString(e.description()));
            }
            port.close();
            return QStringLiteral("opened");
        };
        QCOMPARE(failure("/dev/no-such-port"), QStringLiteral("2 No such file or directory: /dev/no-such-port"));

        QTemporaryDir dir;
        const QString plain = dir.filePath("plain");
        QFile file(plain);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(failure(plain), "25 Not a serial device: " + plain);

        PseudoTerminal pty;
        QVERIFY(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0600) == 0);
        const QString denied = asUnprivileged([&] { return failure(pty.slavePath()); });
        QCOMPARE(denied, "13 Permission denied: " + pty.slavePath());

        QCOMPARE(failure(pty.slavePath(), *SettingsString::parse("9600,N,4,1")),
                 "380 Invalid property value: 4 data bits on " + pty.slavePath());
        QCOMPARE(failure(pty.slavePath(), *SettingsString::parse("9600,N,8,1.5")),
                 "380 Invalid property value: 1.5 stop bits with 8 data bits on " + pty.slavePath());
        // A pseudo-terminal carries 8-bit characters without parity only: the driver refuses.
        QCOMPARE(failure(pty.slavePath(), *SettingsString::parse("9600,E,8,1")),
                 "380 Invalid property value: parity E on " + pty.slavePath());
        QCOMPARE(failure(pty.slavePath(), *SettingsString::parse("9600,N,7,1")),
                 "380 Invalid property value: 7 data bits on " + pty.slavePath());
        QVERIFY(!port.isOpen()); // a refused setting leaves the port closed
        QCOMPARE(failure(pty.slavePath(), *SettingsString::parse("110,N,8,2")), QStringLiteral("opened"));
        QCOMPARE(failure(pty.slavePath(), *SettingsString::parse("256000,n,8,1")), QStringLiteral("opened"));
    }

    void hangUpIsReportedAsLostOnce()
    {
        PseudoTerminal pty;
        TtyBackend port;
        RecordingSink sink;
        port.open(pty.slavePath(), Default, sink);
        pty.closeMaster();
        QTRY_COMPARE(sink.lostReports().size(), 1);
        QCOMPARE(sink.lostReports().first(), "5 Input/output error, the device is gone: " + pty.slavePath());
        const auto before = cpuTime();
        QTest::qWait(300); // a hung-up tty stays readable: it must not be read in a loop
        QVERIFY2(cpuTime() - before < std::chrono::milliseconds(60), "the lost port keeps the processor busy");
        QCOMPARE(sink.lostReports().size(), 1);
        port.close();
    }

    void probeLooksWithoutOpening()
    {
        QTemporaryDir locks;
        SystemPortProbe probe({locks.path()});
        PseudoTerminal pty;
        using V = SystemPortProbe::Verdict;
        QCOMPARE(probe.check(pty.slavePath()), V::Available);
        QCOMPARE(probe.check("/dev/no-such-port"), V::Missing);
        QCOMPARE(probe.check(QString()), V::Missing);
        QCOMPARE(probe.check(locks.path()), V::NotADevice);

        QVERIFY(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0600) == 0);
        QCOMPARE(asUnprivileged([&] { return probe.check(pty.slavePath()); }), V::NoPermission);

        // A lock file names the node without "/dev/", slashes as underscores.
        QFile lock(locks.filePath("LCK.." + pty.slavePath().mid(5).replace('/', '_')));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(deadPid()).rightJustified(10) + "\n");
        lock.close();
        QCOMPARE(probe.check(pty.slavePath()), V::Available); // left behind by a dead process
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lock.write(QByteArray::number(qint64(::getpid())) + "\nvantor\nhost\n");
        lock.close();
        QCOMPARE(probe.check(pty.slavePath()), V::InUse);
        QCOMPARE(probe.lockHolder(pty.slavePath()), qint64(::getpid()));
    }

    // The probe finds the lock that an open port of this program takes.
    void probeSeesThePortThisProgramHoldsOpen()
    {
        SystemPortProbe probe;
        PseudoTerminal pty;
        TtyBackend port;
        RecordingSink sink;
        port.open(pty.slavePath(), Default, sink);
        QVERIFY(!probe.available(pty.slavePath()));
        port.close();
        QVERIFY(probe.available(pty.slavePath()));
    }

    void probeOfANetworkPortConnects()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QString target = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort());
        SystemPortProbe probe;
        QCOMPARE(probe.check(target), SystemPortProbe::Verdict::Available);
        server.close();
        QCOMPARE(probe.check(target), SystemPortProbe::Verdict::Unreachable);
    }

    // The whole service on a pseudo-terminal: numbers, events on the user-interface thread,
    // output, notices and a lost device.
    void serviceOpensTheDeviceOfItsPortNumber()
    {
        PseudoTerminal pty;
        SystemSerialPortService service(mapWith(3, pty.slavePath()));
        QSignalSpy notices(&service, &SerialPortService::notice);
        QSignalSpy lost(&service, &SerialPortService::portLost);
        QByteArray input;
        connect(&service, &SerialPortService::onComm, this, [&] {
            if (service.commEvent() == comm::Receive)
                input += service.input();
        });

        service.setCommPort(2);
        try {
            service.setPortOpen(true);
            QFAIL("a number without a device opened");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), 8002);
            QCOMPARE(e.description(), std::string("Invalid port number"));
        }
        QVERIFY(!service.portOpen());

        service.setCommPort(3);
        service.setPortOpen(true);
        QTRY_COMPARE(notices.size(), 1);
        QVERIFY(pty.send("OK\r\n"));
        QTRY_COMPARE(input, QByteArray("OK\r\n"));
        service.output("ATI3\r");
        QCOMPARE(pty.receive(1000, 5), QByteArray("ATI3\r"));

        pty.closeMaster();
        QTRY_COMPARE(lost.size(), 1);
        QCOMPARE(lost.first().at(0).toInt(), 5);
        QVERIFY(!service.portOpen());
    }

    // An "rfc2217://" number is a network serial port, whatever a file of that name would be.
    void serviceOpensNetworkNumbersThroughTheNetworkBackend()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QString target = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort());
        server.close(); // nobody listens there now
        SystemSerialPortService service(mapWith(4, target));
        service.setCommPort(4);
        try {
            service.setPortOpen(true);
            QFAIL("a refused connection opened");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), ECONNREFUSED);
            QCOMPARE(QString::fromStdString(e.description()), "Connection refused: " + target);
        }
    }
};

QTEST_MAIN(TestTtyBackend)
#include "tst_ttybackend.moc"
