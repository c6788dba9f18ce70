#include "portdiscovery.h"

#include "errortrap/procedure.h"
#include "errortrap/runtimeerror.h"

#include <QComboBox>
#include <QSignalBlocker>
#include <QTextDocument>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

namespace vantor::serial {

namespace {

constexpr Location ListComPortsAt{"frmMAIN", "ListComPorts"};
constexpr Location GetComPortsAt{"frmMAIN", "cmdGetComPorts_Click"};
constexpr Location GetAllPortsAt{"frmMAIN", "cmdGetAllPorts_Click"};
constexpr Location COMAvailableAt{"modDeclares", "COMAvailable"};
constexpr Location GetAvailablePortsAt{"modDeclares", "GetAvailablePorts"};
constexpr Location TrimStrAt{"modDeclares", "TrimStr"};
constexpr Location LPSTRtoSTRINGAt{"modDeclares", "LPSTRtoSTRING"};

constexpr qint16 FirstProbed = 1;
constexpr qint16 LastProbed = 16;

// A 16-bit loop counter steps past its range.
void stepIndex(qint16 &i)
{
    if (i == std::numeric_limits<qint16>::max())
        throw std::overflow_error("16-bit index");
    ++i;
}

} // namespace

PortDiscovery::PortDiscovery(ErrorTrap &trap, PortMap &map, const PortProbe &probe, PortEnumerator enumerate,
                             Controls controls)
    : PortDiscovery(trap, map, probe, enumerate ? makeEntrySpooler(std::move(enumerate)) : makeSystemPortSpooler(),
                    std::move(controls))
{
}

PortDiscovery::PortDiscovery(ErrorTrap &trap, PortMap &map, const PortProbe &probe,
                             std::unique_ptr<PortSpooler> spooler, Controls controls)
    : m_trap(trap)
    , m_map(map)
    , m_probe(probe)
    , m_spooler(spooler ? std::move(spooler) : makeEntrySpooler({}))
    , m_c(std::move(controls))
{
}

// The list's own signals stay blocked while it is refilled: emptying it and adding the first
// entry would otherwise look like typing and choosing. The selection of the first entry then
// runs the list's selection handling exactly once, through cboComm_Click.
void PortDiscovery::ListComPorts()
{
    Procedure p(m_trap, ListComPortsAt, 63);
    std::optional<QSignalBlocker> quiet(std::in_place, m_c.cboComm);
    p.step(64, [&] { m_map.refresh(); });
    p.step(65, [&] {
        // Emptied text and all: a number typed beside an empty list would otherwise stay.
        m_c.cboComm->clear();
        m_c.cboComm->clearEditText();
    });
    p.step(66, [&] { m_c.setStatus1(QStringLiteral("Getting Available Com Ports...")); });
    qint16 n = FirstProbed;
    p.mark(67);
    for (; n <= LastProbed; ++n) {
        if (p.test(68, [&] { return COMAvailable(n); })) {
            p.step(69, [&] {
                m_c.cboComm->addItem(QString::number(n));
                // Plain text, whatever the path holds: a tooltip would take markup as rich text.
                m_c.cboComm->setItemData(m_c.cboComm->count() - 1,
                                         Qt::convertFromPlainText(m_map.target(n), Qt::WhiteSpaceNormal),
                                         Qt::ToolTipRole);
            });
            p.step(70, [&] { m_c.setStatus1(QStringLiteral("Com %1 found").arg(n)); });
        }
        p.mark(71);
        p.mark(72);
    }
    quiet.reset();
    p.step(73, [&] {
        // Selecting an entry of an empty list is an invalid property value.
        if (m_c.cboComm->count() == 0)
            throw RuntimeError(errors::InvalidPropertyValue);
        m_c.cboComm->setCurrentIndex(0);
        if (m_c.cboComm_Click)
            m_c.cboComm_Click();
    });
    p.exit(74);
}

void PortDiscovery::cmdGetComPorts_Click()
{
    Procedure p(m_trap, GetComPortsAt, 75);
    p.step(76, [&] { ListComPorts(); });
    p.exit(77);
}

void PortDiscovery::cmdGetAllPorts_Click()
{
    Procedure p(m_trap, GetAllPortsAt, 245);
    p.mark(246);
    p.mark(247);
    qint32 n = 0;
    p.step(248, [&] { n = GetAvailablePorts(QString()); });
    p.step(249, [&] { m_c.setStatus1(QStringLiteral("Getting All Available Ports...")); });
    qint16 i = 0;
    bool more = false;
    p.step(250, [&] { more = n - 1 >= 0; });
    while (more) {
        p.step(251, [&] { m_c.setStatus1(AvailablePorts(i).PortName); });
        p.step(252, [&] {
            more = false;
            stepIndex(i);
            more = i <= n - 1;
        });
    }
    p.exit(253);
}

bool PortDiscovery::COMAvailable(qint16 port)
{
    Procedure p(m_trap, COMAvailableAt, 1);
    p.mark(2);
    p.mark(3);
    QString target;
    bool opens = false;
    bool result = false;
    p.step(4, [&] { target = m_map.target(port); });
    p.step(5, [&] { opens = !target.isEmpty() && m_probe.available(target); });
    if (p.test(6, [&] { return !opens; })) {
        p.step(7, [&] { result = false; });
    } else {
        p.mark(8);
        p.step(9, [&] { result = true; });
        p.mark(10); // the probe holds nothing open that would need closing
    }
    p.mark(11);
    p.exit(12);
    return result;
}

// The printing subsystem's two-call enumeration: the size needed, a block of that size from the
// process heap, the records into it. The texts stay in the block and are read through the
// records' addresses before the block goes back.
qint32 PortDiscovery::GetAvailablePorts(const QString &serverName)
{
    Procedure p(m_trap, GetAvailablePortsAt, 13);
    for (int line = 14; line <= 19; ++line)
        p.mark(line);
    const QByteArray server = serverName.toLocal8Bit();
    quint32 needed = 0;
    quint32 returned = 0;
    bool enumerated = false;
    void *block = nullptr;
    std::array<PortInfo2, TableSize> working{};
    qint32 result = 0;
    p.step(20, [&] { m_spooler->enumPorts(server, PortSpooler::Level, nullptr, 0, needed, returned); });
    p.step(21, [&] { block = m_spooler->heapAlloc(needed); });
    p.step(22, [&] { enumerated = m_spooler->enumPorts(server, PortSpooler::Level, block, needed, needed, returned); });
    if (p.test(23, [&] { return enumerated; })) {
        p.step(24, [&] {
            const std::size_t copied = std::min<std::size_t>(returned, TableSize);
            std::memmove(working.data(), block, copied * sizeof(PortInfo2));
        });
        qint16 i = 0;
        bool more = false;
        p.step(25, [&] { more = qint64(returned) - 1 >= 0; });
        while (more) {
            p.step(26, [&] { portAt(i).Description = LPSTRtoSTRING(working.at(std::size_t(i)).pDescription); });
            p.step(27, [&] { portAt(i).PortName = LPSTRtoSTRING(working.at(std::size_t(i)).pPortName); });
            p.step(28, [&] { portAt(i).MonitorName = LPSTRtoSTRING(working.at(std::size_t(i)).pMonitorName); });
            p.step(29, [&] { portAt(i).PortType = working.at(std::size_t(i)).fPortType; });
            p.step(30, [&] {
                more = false;
                stepIndex(i);
                more = i <= qint64(returned) - 1;
            });
        }
        p.mark(31);
    }
    p.step(32, [&] { result = qint32(returned); });
    if (p.test(33, [&] { return block != nullptr; }))
        p.step(34, [&] { m_spooler->heapFree(std::exchange(block, nullptr)); });
    p.mark(35);
    p.exit(36);
    return result;
}

QString PortDiscovery::TrimStr(const QString &text)
{
    Procedure p(m_trap, TrimStrAt, 37);
    p.mark(38);
    qint16 position = 0;
    QString result;
    p.step(39, [&] {
        const qsizetype found = text.indexOf(QChar(u'\0')) + 1;
        if (found > std::numeric_limits<qint16>::max())
            throw std::overflow_error("16-bit position");
        position = qint16(found);
    });
    if (p.test(40, [&] { return position > 0; })) {
        p.step(41, [&] { result = text.left(position - 1); });
    } else {
        p.mark(42);
        p.step(43, [&] { result = text; });
    }
    p.mark(44);
    p.exit(45);
    return result;
}

QString PortDiscovery::LPSTRtoSTRING(const char *address)
{
    Procedure p(m_trap, LPSTRtoSTRINGAt, 46);
    p.mark(47);
    std::size_t length = 0;
    QByteArray buffer;
    QString result;
    p.step(48, [&] { length = address ? std::strlen(address) : 0; });
    p.step(49, [&] { buffer = QByteArray(qsizetype(length) + 1, '\0'); });
    p.step(50, [&] {
        if (length > 0)
            std::memcpy(buffer.data(), address, length);
    });
    p.step(51, [&] { result = TrimStr(QString::fromLocal8Bit(buffer)); });
    p.exit(52);
    return result;
}

} // namespace vantor::serial
