#include "serial/portdiscovery.h"

#include "fakeportprobe.h"
#include "scriptedprompter.h"

#include <QComboBox>
#include <QTextDocumentFragment>
#include <QtTest>

using namespace vantor;
using namespace vantor::serial;

namespace {

std::string prompt(int number, const std::string &description, const std::string &where, int line)
{
    return "Error " + std::to_string(number) + "\r\n" + description + "\r\nLocation: VANTOR." + where + "\r\nLine "
        + std::to_string(line);
}

PortEntry entry(const char *name, const char *monitor = nullptr, const char *description = nullptr,
                quint32 type = porttype::Read | porttype::Write)
{
    return {QByteArray(name), monitor ? QByteArray(monitor) : QByteArray(),
            description ? QByteArray(description) : QByteArray(), type};
}

// The discovery controller on a fake machine: three serial ports numbered 1 to 3.
struct Bench
{
    ScriptedPrompter prompter;
    ErrorTrap trap{prompter};
    QStringList devices{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2"};
    PortMap map{[this] { return devices; }};
    FakePortProbe probe;
    std::vector<PortEntry> entries;
    QComboBox cboComm;
    QStringList log;
    int clicks = 0;
    int comboSignals = 0;
    PortDiscovery discovery{trap,
                            map,
                            probe,
                            [this] { return entries; },
                            {&cboComm, [this] { ++clicks; }, [this](const QString &line) { log << line; }}};

    Bench()
    {
        cboComm.setEditable(true);
        QObject::connect(&cboComm, &QComboBox::editTextChanged, [this] { ++comboSignals; });
        QObject::connect(&cboComm, &QComboBox::currentIndexChanged, [this] { ++comboSignals; });
    }

    QStringList items() const
    {
        QStringList texts;
        for (int i = 0; i < cboComm.count(); ++i)
            texts << cboComm.itemText(i);
        return texts;
    }
};

} // namespace

class TestPortDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listsThePortsThatCanBeOpenedAndSelectsTheFirst()
    {
        Bench b;
        b.probe.openable = {"/dev/ttyS0", "/dev/ttyS2"};
        b.discovery.cmdGetComPorts_Click();
        QCOMPARE(b.items(), QStringList({"1", "3"}));
        QCOMPARE(b.log, QStringList({"Getting Available Com Ports...", "Com 1 found", "Com 3 found"}));
        QCOMPARE(b.cboComm.currentIndex(), 0);
        QCOMPARE(b.cboComm.currentText(), QStringLiteral("1"));
        QCOMPARE(b.clicks, 1);
        QCOMPARE(b.comboSignals, 0); // refilling is not typing
        for (const int i : {0, 1}) { // the device path, as plain text
            const QString tip = b.cboComm.itemData(i, Qt::ToolTipRole).toString();
            QVERIFY2(tip.startsWith("<p"), qPrintable(tip));
            QCOMPARE(QTextDocumentFragment::fromHtml(tip).toPlainText(), i == 0 ? "/dev/ttyS0" : "/dev/ttyS2");
        }
        QVERIFY(b.prompter.prompts.empty());
    }

    void runningTwiceGivesTheSameList()
    {
        Bench b;
        b.probe.openable = {"/dev/ttyS0", "/dev/ttyS2"};
        b.discovery.cmdGetComPorts_Click();
        b.cboComm.setEditText("2");
        b.discovery.cmdGetComPorts_Click();
        QCOMPARE(b.items(), QStringList({"1", "3"}));
        QCOMPARE(b.cboComm.currentText(), QStringLiteral("1"));
        QCOMPARE(b.clicks, 2);
        QCOMPARE(b.log.size(), 6);
    }

    // Only numbers 1 to 16 are probed; numbers without a device are never asked about.
    void probesNumbersOneToSixteen()
    {
        Bench b;
        b.map.pin({16, "/dev/ttyUSB7"});
        b.map.pin({17, "/dev/ttyUSB8"});
        b.probe.openable = {"/dev/ttyUSB7", "/dev/ttyUSB8"};
        b.discovery.ListComPorts();
        QCOMPARE(b.items(), QStringList({"16"}));
        QCOMPARE(b.probe.asked, QStringList({"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyUSB7"}));
    }

    void noPortSelectingTheFirstEntryIsAnErrorOnLine73()
    {
        Bench b;
        b.cboComm.addItem("7");
        b.discovery.ListComPorts();
        QVERIFY(b.items().isEmpty());
        QCOMPARE(b.log, QStringList({"Getting Available Com Ports..."}));
        QCOMPARE(b.prompter.prompts,
                 std::vector<std::string>({prompt(380, "Invalid property value", "frmMAIN.ListComPorts", 73)}));
        QCOMPARE(b.clicks, 0);

        // A number typed beside the empty list goes with the list: none stays on show.
        b.cboComm.setEditText("7");
        b.discovery.ListComPorts();
        QCOMPARE(b.cboComm.currentText(), QString());
        QCOMPARE(b.prompter.prompts.size(), std::size_t(2));
    }

    // An error in the probe is reported by COMAvailable's own trap; after Ignore the listing
    // goes on with the next port.
    void probeFailureIsReportedByCOMAvailable()
    {
        Bench b;
        b.probe.openable = {"/dev/ttyS2"};
        b.probe.failing = {"/dev/ttyS1"};
        b.discovery.ListComPorts();
        QCOMPARE(b.prompter.prompts,
                 std::vector<std::string>({prompt(5, "Probe failed: /dev/ttyS1", "modDeclares.COMAvailable", 5)}));
        QCOMPARE(b.items(), QStringList({"3"}));
    }

    void allPortsOnAnEmptySystemLogsTheHeaderAlone()
    {
        Bench b;
        b.discovery.cmdGetAllPorts_Click();
        QCOMPARE(b.log, QStringList({"Getting All Available Ports..."}));
        QVERIFY(b.prompter.prompts.empty());
    }

    void allPortsFillsTheTableAndLogsEachName()
    {
        Bench b;
        b.entries = {entry("/dev/ttyS0", "serial8250", "16550A UART"), entry("/dev/ttyUSB0", "ftdi_sio"),
                     entry("/dev/lp0", nullptr, nullptr, porttype::Write)};
        b.discovery.cmdGetAllPorts_Click();
        QCOMPARE(b.log, QStringList({"Getting All Available Ports...", "/dev/ttyS0", "/dev/ttyUSB0", "/dev/lp0"}));
        const PortInfo &first = b.discovery.AvailablePorts(0);
        QCOMPARE(first.MonitorName, QStringLiteral("serial8250"));
        QCOMPARE(first.Description, QStringLiteral("16550A UART"));
        QCOMPARE(first.PortType, porttype::Read | porttype::Write);
        QVERIFY(b.discovery.AvailablePorts(1).Description.isEmpty());
        QVERIFY(b.discovery.AvailablePorts(2).MonitorName.isEmpty());
        QCOMPARE(b.discovery.AvailablePorts(2).PortType, porttype::Write);

        // A later, shorter enumeration overwrites from index 0 and leaves the rest alone.
        b.entries = {entry("/dev/ttyACM0", "cdc_acm")};
        QCOMPARE(b.discovery.GetAvailablePorts(QString()), 1);
        QCOMPARE(b.discovery.AvailablePorts(0).PortName, QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(b.discovery.AvailablePorts(1).PortName, QStringLiteral("/dev/ttyUSB0"));
    }

    // Record 101 lies outside the table: each of its four assignments raises error 9 in
    // GetAvailablePorts, and reading its name raises it in cmdGetAllPorts_Click.
    void moreThan101PortsIsSubscriptOutOfRange()
    {
        Bench b;
        QList<QByteArray> names;
        for (int i = 0; i < 102; ++i)
            names << "/dev/ttyX" + QByteArray::number(i);
        for (const QByteArray &name : std::as_const(names))
            b.entries.push_back(entry(name.constData(), "x"));
        b.discovery.cmdGetAllPorts_Click();
        const std::string outOfRange = "Subscript out of range";
        QCOMPARE(b.prompter.prompts,
                 std::vector<std::string>({prompt(9, outOfRange, "modDeclares.GetAvailablePorts", 26),
                                           prompt(9, outOfRange, "modDeclares.GetAvailablePorts", 27),
                                           prompt(9, outOfRange, "modDeclares.GetAvailablePorts", 28),
                                           prompt(9, outOfRange, "modDeclares.GetAvailablePorts", 29),
                                           prompt(9, outOfRange, "frmMAIN.cmdGetAllPorts_Click", 251)}));
        QCOMPARE(b.log.size(), 1 + 101);
        QCOMPARE(b.log.last(), QStringLiteral("/dev/ttyX100"));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, b.discovery.AvailablePorts(101));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, b.discovery.AvailablePorts(-1));
    }

    // The printing subsystem's second call fails (a port came between the two calls): the
    // header line alone, and the block goes back all the same.
    void failedEnumerationListsNothingAndGivesTheBlockBack()
    {
        struct Spooler : PortSpooler
        {
            bool enumPorts(const QByteArray &, quint32, void *buffer, quint32, quint32 &needed,
                           quint32 &returned) override
            {
                needed = buffer ? 96 : 64;
                returned = 0;
                return false;
            }
            void *heapAlloc(std::size_t bytes) override { return given = std::malloc(bytes); }
            void heapFree(void *block) override
            {
                QCOMPARE(block, given);
                std::free(std::exchange(given, nullptr));
            }
            void *given = nullptr;
        };
        Bench b;
        auto owned = std::make_unique<Spooler>();
        Spooler &spooler = *owned;
        PortDiscovery discovery{
            b.trap, b.map, b.probe, std::move(owned), {&b.cboComm, {}, [&b](const QString &line) { b.log << line; }}};
        discovery.cmdGetAllPorts_Click();
        QCOMPARE(b.log, QStringList{"Getting All Available Ports..."});
        QCOMPARE(discovery.GetAvailablePorts(QString()), 0);
        QCOMPARE(spooler.given, nullptr);
        QVERIFY(b.prompter.prompts.empty());
    }

    void textHelpers()
    {
        Bench b;
        QCOMPARE(b.discovery.TrimStr("COM1"), QStringLiteral("COM1"));
        QCOMPARE(b.discovery.TrimStr(QString(QChar(u'\0')) + "abc"), QString());
        QCOMPARE(b.discovery.TrimStr(QStringLiteral("ab") + QChar(u'\0') + "cd"), QStringLiteral("ab"));
        QCOMPARE(b.discovery.TrimStr(QString()), QString());
        QCOMPARE(b.discovery.LPSTRtoSTRING(nullptr), QString());
        QCOMPARE(b.discovery.LPSTRtoSTRING(""), QString());
        QCOMPARE(b.discovery.LPSTRtoSTRING("serial8250"), QStringLiteral("serial8250"));
        QCOMPARE(b.discovery.LPSTRtoSTRING("M\xc3\xbcller"), QString::fromUtf8("M\xc3\xbcller"));
        QVERIFY(b.prompter.prompts.empty());

        // The NUL position is a 16-bit number: beyond 32767 it overflows.
        const QString longText = QString(40000, QLatin1Char('a')) + QChar(u'\0');
        QCOMPARE(b.discovery.TrimStr(longText), longText);
        QCOMPARE(b.prompter.prompts, std::vector<std::string>({prompt(6, "Overflow", "modDeclares.TrimStr", 39)}));
    }
};

QTEST_MAIN(TestPortDiscovery)
#include "tst_portdiscovery.moc"
