#include "serial/system/portmap.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using vantor::serial::PortMap;

namespace {

PortMap mapOf(const QStringList &devices)
{
    return PortMap([devices] { return devices; });
}

QStringList numbered(const PortMap &map)
{
    QStringList lines;
    for (const auto &[number, target] : map.entries())
        lines << QStringLiteral("%1=%2").arg(number).arg(target);
    return lines;
}

} // namespace

class TestPortMap : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ordersBuiltInFirstThenAdaptersInNaturalOrder()
    {
        PortMap map = mapOf({"/dev/ttyUSB1", "/dev/ttyS10", "/dev/ttyACM0", "/dev/rfcomm0", "/dev/ttyS2",
                             "/dev/ttyAMA0", "/dev/ttyUSB0", "/dev/ttyS0"});
        map.refresh();
        QCOMPARE(numbered(map),
                 QStringList({"1=/dev/ttyS0", "2=/dev/ttyS2", "3=/dev/ttyS10", "4=/dev/ttyUSB0", "5=/dev/ttyUSB1",
                              "6=/dev/ttyACM0", "7=/dev/ttyAMA0", "8=/dev/rfcomm0"}));
        QCOMPARE(map.target(3), QStringLiteral("/dev/ttyS10"));
        QVERIFY(map.target(9).isEmpty());
        QVERIFY(map.target(0).isEmpty());
    }

    void pinnedNumbersAreSkippedByAutomaticNumbering()
    {
        PortMap map = mapOf({"/dev/ttyS1", "/dev/ttyUSB0", "/dev/ttyS0"});
        map.pin(*PortMap::parsePin("2=/dev/serial/by-id/x"));
        map.pin(*PortMap::parsePin("5=rfc2217://127.0.0.1:4001"));
        map.refresh();
        QCOMPARE(numbered(map),
                 QStringList({"1=/dev/ttyS0", "2=/dev/serial/by-id/x", "3=/dev/ttyS1", "4=/dev/ttyUSB0",
                              "5=rfc2217://127.0.0.1:4001"}));
        QVERIFY(map.isPinned(2));
        QVERIFY(!map.isPinned(3));
        const QStringList listing = map.listing();
        QCOMPARE(listing.size(), 5);
        QVERIFY(listing[1].contains("/dev/serial/by-id/x") && listing[1].contains("pinned"));
        QVERIFY(listing[0].contains("/dev/ttyS0") && !listing[0].contains("pinned"));
    }

    // A device pinned through a link (as /dev/serial/by-id gives them) is not numbered a
    // second time under its node's name.
    void deviceAlreadyPinnedThroughLinkIsNotNumberedAgain()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString node = dir.filePath("ttyUSB0");
        const QString link = dir.filePath("usb-FTDI_GPI-if00-port0");
        QFile file(node);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(node, link));
        PortMap map = mapOf({node, "/dev/ttyS0"});
        map.pin({3, link});
        map.refresh();
        QCOMPARE(numbered(map), QStringList({"1=/dev/ttyS0", "3=" + link}));
    }

    // Numbers keep their devices for the whole run; new devices take free numbers.
    void refreshKeepsNumbersAndAddsNewDevices()
    {
        QStringList devices{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"};
        PortMap map([&devices] { return devices; });
        map.refresh();
        devices = {"/dev/ttyUSB2", "/dev/ttyS0", "/dev/ttyUSB1"}; // USB0 pulled, USB2 plugged
        map.refresh();
        QCOMPARE(numbered(map), QStringList({"1=/dev/ttyS0", "2=/dev/ttyUSB0", "3=/dev/ttyUSB1", "4=/dev/ttyUSB2"}));
    }

    void parsePin_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("target");
        QTest::newRow("by-id path") << "2=/dev/serial/by-id/x" << 2 << "/dev/serial/by-id/x";
        QTest::newRow("bare name") << "3=ttyUSB0" << 3 << "/dev/ttyUSB0";
        QTest::newRow("blanks") << " 12 = /dev/ttyS1 " << 12 << "/dev/ttyS1";
        QTest::newRow("network") << "5=rfc2217://10.0.0.7:4001" << 5 << "rfc2217://10.0.0.7:4001";
        QTest::newRow("largest") << "32767=/dev/ttyS0" << 32767 << "/dev/ttyS0";
        QTest::newRow("zero") << "0=/dev/ttyS0" << 0 << "";
        QTest::newRow("too large") << "32768=/dev/ttyS0" << 0 << "";
        QTest::newRow("not a number") << "x=/dev/ttyS0" << 0 << "";
        QTest::newRow("no device") << "2=" << 0 << "";
        QTest::newRow("network without port") << "4=rfc2217://host" << 0 << "";
    }

    void parsePin()
    {
        QFETCH(QString, text);
        QFETCH(int, number);
        QFETCH(QString, target);
        QString error;
        const auto pin = PortMap::parsePin(text, &error);
        if (number == 0) {
            QVERIFY(!pin);
            QVERIFY(!error.isEmpty());
            return;
        }
        QVERIFY2(pin, qPrintable(error));
        QCOMPARE(int(pin->number), number);
        QCOMPARE(pin->target, target);
    }
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
