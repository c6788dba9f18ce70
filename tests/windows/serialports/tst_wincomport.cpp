// The COM port's real Win32 calls under Wine, on COM7 mapped to a pseudo-terminal that
// comport-peer.py made and answers on. A pseudo-terminal has no modem lines and Wine's serial
// emulation is not a Windows driver: the lines' logic is tested against a fake
// (tst_combackend); here: open, settings, data both ways, a pulled adapter and its return, close.
#include "serial/comport/combackend.h"
#include "serial/system/portmap.h"
#include "serial/system/portprobe.h"

#include "errortrap/runtimeerror.h"
#include "recordingsink.h"

#include <QtTest>

using namespace vantor;
using namespace vantor::serial;

namespace {
const QString Port = QStringLiteral("COM7");
constexpr int Patience = 30000; // ms, for Wine on a busy machine
} // namespace

class TestWinComPort : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void portNumberIsTheComNumber()
    {
        PortMap map([] { return QStringList{QStringLiteral("COM3")}; });
        map.pin({2, QStringLiteral("rfc2217://127.0.0.1:7000")});
        map.refresh();
        QCOMPARE(map.target(3), QStringLiteral("COM3"));
        QCOMPARE(map.target(7), Port);
        QCOMPARE(map.target(2), QStringLiteral("rfc2217://127.0.0.1:7000"));
        const SystemPortProbe probe;
        QVERIFY(probe.available(Port));
        QVERIFY(!probe.available(QStringLiteral("COM9"))); // mapped to nothing
    }

    void opensTalksHangsUpAndOpensAgain()
    {
        ComBackend port(makeSystemCommCalls());
        RecordingSink sink;
        port.open(Port, *SettingsString::parse("19200,N,8,2"), sink);
        QVERIFY(!port.watching());
        QCOMPARE(sink.notices(),
                 QStringList{"Warning: COM7 has no modem lines that can be watched; contacts will not "
                             "fire (the port is open for data only)"});

        port.write("SETTINGS\n");
        QTRY_COMPARE_WITH_TIMEOUT(sink.received(), QByteArray("SETTINGS speed=19200 stopbits=2\n"), Patience);
        sink.clear();
        const QByteArray text(3000, 'x');
        port.write("ECHO " + text + "\n");
        QTRY_COMPARE_WITH_TIMEOUT(sink.received(), "ECHOED " + text + "\n", Patience);

        port.write("HANGUP\n");
        QTRY_COMPARE_WITH_TIMEOUT(sink.lostReports(), QStringList{"5 Input/output error, the device is gone: COM7"},
                                  Patience);
        QCOMPARE(sink.notices().filter("COM7: ReadFile failed: ").size(), 1);
        port.close();

        // The peer has put a new terminal in its place: the probe finds it, it opens again.
        const SystemPortProbe probe;
        QTRY_VERIFY_WITH_TIMEOUT(probe.available(Port), Patience);
        sink.clear();
        port.open(Port, *SettingsString::parse("9600,N,8,1"), sink);
        port.write("ECHO again\n");
        QTRY_COMPARE_WITH_TIMEOUT(sink.received(), QByteArray("ECHOED again\n"), Patience);
        port.close();
        QVERIFY(sink.lostReports().isEmpty());
    }

    void missingPortIsAnError()
    {
        ComBackend port(makeSystemCommCalls());
        RecordingSink sink;
        try {
            port.open(QStringLiteral("COM9"), *SettingsString::parse("9600,N,8,1"), sink);
            QFAIL("opened");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), 2); // ERROR_FILE_NOT_FOUND
            QVERIFY2(QString::fromStdString(e.description()).endsWith(": COM9"), e.what());
        }
    }
};

QTEST_GUILESS_MAIN(TestWinComPort)
#include "tst_wincomport.moc"
