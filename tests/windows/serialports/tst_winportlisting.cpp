// The all-ports listing under Wine: the printing subsystem's records (EnumPortsA at level 2),
// as the listing keeps and logs them.
#include "serial/portdiscovery.h"

#include "errortrap/errortrap.h"
#include "scriptedprompter.h"

#include <QComboBox>
#include <QtTest>

#include <windows.h>
#include <winspool.h>

using namespace vantor;
using namespace vantor::serial;

namespace {

// The records as the test reads them itself.
std::vector<PORT_INFO_2A> records(std::vector<BYTE> &buffer)
{
    DWORD needed = 0, returned = 0;
    char local[] = "";
    EnumPortsA(local, 2, nullptr, 0, &needed, &returned);
    buffer.resize(needed);
    if (!EnumPortsA(local, 2, buffer.data(), needed, &needed, &returned))
        return {};
    const auto *first = reinterpret_cast<const PORT_INFO_2A *>(buffer.data());
    return {first, first + returned};
}

QString text(const char *t)
{
    return t ? QString::fromLocal8Bit(t) : QString();
}

} // namespace

class TestWinPortListing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listsThePrintingSubsystemsPorts()
    {
        std::vector<BYTE> buffer;
        const std::vector<PORT_INFO_2A> expected = records(buffer);
        QVERIFY2(!expected.empty(), "the printing subsystem lists no port here");

        ScriptedPrompter prompter;
        ErrorTrap trap(prompter);
        PortMap map([] { return QStringList(); });
        const SystemPortProbe probe;
        QComboBox cboComm;
        QStringList log;
        PortDiscovery discovery(trap, map, probe, PortEnumerator(),
                                {&cboComm, {}, [&log](const QString &line) { log << line; }});
        discovery.cmdGetAllPorts_Click();

        QStringList names{"Getting All Available Ports..."};
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const PortInfo &kept = discovery.AvailablePorts(int(i));
            QCOMPARE(kept.PortName, text(expected[i].pPortName));
            QCOMPARE(kept.MonitorName, text(expected[i].pMonitorName));
            QCOMPARE(kept.Description, text(expected[i].pDescription));
            QCOMPARE(kept.PortType, quint32(expected[i].fPortType));
            names << kept.PortName;
        }
        QCOMPARE(log, names);
        QVERIFY(prompter.prompts.empty());
        qInfo().noquote() << "listed:" << names.mid(1).join(QLatin1String(", "));
    }
};

QTEST_MAIN(TestWinPortListing)
#include "tst_winportlisting.moc"
