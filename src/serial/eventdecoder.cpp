#include "eventdecoder.h"

#include "errortrap/procedure.h"

namespace vantor::serial {

EventDecoder::EventDecoder(ErrorTrap &trap, SerialPortService &port, Controls controls)
    : m_trap(trap)
    , m_port(port)
    , m_c(std::move(controls))
{
}

QString EventDecoder::message(qint16 code)
{
    switch (code) {
    case comm::Send: return {};
    case comm::Cd: return QStringLiteral("Change in CD Detected");
    case comm::Ring: return QStringLiteral("Ringing tone Detected");
    case comm::Eof: return QStringLiteral("End of File Detected");
    case comm::Break: return QStringLiteral("***Break Received");
    case comm::CtsTimeout: return QStringLiteral("***CTS Timeout");
    case comm::DsrTimeout: return QStringLiteral("***DSR Timeout");
    case comm::Frame: return QStringLiteral("***Framing Error");
    case comm::Overrun: return QStringLiteral("***Overrun Error");
    case comm::CdTimeout: return QStringLiteral("***Carrier Detect Timeout");
    case comm::RxOver: return QStringLiteral("***Receive Buffer Overflow");
    case comm::RxParity: return QStringLiteral("***Parity Error");
    case comm::TxFull: return QStringLiteral("***Transmit Buffer Full");
    case comm::Dcb: return QStringLiteral("***Error retrieving DCB");
    default: return QStringLiteral("***Unknown error or event");
    }
}

namespace {
// Line numbers of the messages of the plain events.
int messageLine(qint16 code)
{
    switch (code) {
    case comm::Cd: return 202;
    case comm::Ring: return 204;
    case comm::Eof: return 206;
    case comm::Break: return 208;
    case comm::CdTimeout: return 210;
    case comm::CtsTimeout: return 212;
    case comm::Dcb: return 214;
    case comm::DsrTimeout: return 216;
    case comm::Frame: return 218;
    case comm::Overrun: return 220;
    case comm::RxOver: return 222;
    case comm::RxParity: return 224;
    case comm::TxFull: return 226;
    default: return 228;
    }
}
} // namespace

void EventDecoder::MSComm1_OnComm()
{
    Procedure p(m_trap, {"frmMAIN", "MSComm1_OnComm"}, 172);
    QString message;
    qint16 code = 0;
    p.step(176, [&] { code = m_port.commEvent(); });

    // The three slot tests of a line are independent; the level is read anew for each.
    const auto lineChange = [&](int first, int testLine, auto holding, const char *name, int messageAt) {
        if (p.test(testLine, [&] { return m_c.armed(first) && holding(); }))
            p.step(testLine + 1, [&] { m_c.fire(qint16(first)); });
        if (p.test(testLine + 3, [&] { return m_c.armed(first + 1) && !holding(); }))
            p.step(testLine + 4, [&] { m_c.fire(qint16(first + 1)); });
        if (p.test(testLine + 6, [&] { return m_c.armed(first + 2); }))
            p.step(testLine + 7, [&] { m_c.fire(qint16(first + 2)); });
        p.step(messageAt, [&] {
            message = QLatin1String(name)
                + (holding() ? QStringLiteral(" change to : ON") : QStringLiteral(" change to : OFF"));
        });
    };

    switch (code) {
    case comm::Receive:
        // One character per byte; neither split into lines nor trimmed.
        p.step(177, [&] { message = QString::fromLatin1(m_port.input()); });
        break;
    case comm::Cts:
        lineChange(
            0, 180, [&] { return m_port.ctsHolding(); }, "CTS", 189);
        break;
    case comm::Dsr:
        lineChange(
            3, 191, [&] { return m_port.dsrHolding(); }, "DSR", 200);
        break;
    case comm::Send: break;
    default: p.step(messageLine(code), [&] { message = EventDecoder::message(code); }); break;
    }
    p.step(230, [&] { m_c.setStatus(message); });
    p.exit(231);
}

} // namespace vantor::serial
