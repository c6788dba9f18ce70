#include "ttyport.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cpc = vantor::serial::rfc2217::cpc;

namespace {

struct Speed
{
    std::uint32_t baud;
    speed_t code;
};

constexpr std::array<Speed, 27> Speeds{
    {{50, B50},           {75, B75},          {110, B110},         {134, B134},         {150, B150},
     {200, B200},         {300, B300},        {600, B600},         {1200, B1200},       {1800, B1800},
     {2400, B2400},       {4800, B4800},      {9600, B9600},       {19200, B19200},     {38400, B38400},
     {57600, B57600},     {115200, B115200},  {230400, B230400},   {460800, B460800},   {500000, B500000},
     {576000, B576000},   {921600, B921600},  {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
     {2000000, B2000000}, {4000000, B4000000}}};

} // namespace

TtyPort::TtyPort(std::string path, Log log)
    : m_path(std::move(path))
    , m_log(std::move(log))
{
}

TtyPort::~TtyPort()
{
    // Closing leaves RTS and DTR as they are: HUPCL is cleared at open, since dropping the
    // lines would reset the contact boxes fed from them.
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TtyPort::open(bool rts, bool dtr, std::string &error)
{
    m_fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st
    {};
    termios t{};
    if (::fstat(m_fd, &st) != 0 || !S_ISCHR(st.st_mode) || ::tcgetattr(m_fd, &t) != 0) {
        error = "not a terminal device";
        return false;
    }
    if (::ioctl(m_fd, TIOCEXCL) != 0) {
        error = std::string("cannot take it exclusively: ") + std::strerror(errno);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CRTSCTS | HUPCL);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(m_fd, TCSANOW, &t) != 0) {
        error = std::string("cannot set it up: ") + std::strerror(errno);
        return false;
    }
    m_rts = rts;
    m_dtr = dtr;
    setLine(TIOCM_RTS, rts);
    setLine(TIOCM_DTR, dtr);
    return true;
}

bool TtyPort::settings(termios &t) const
{
    return ::tcgetattr(m_fd, &t) == 0;
}

void TtyPort::apply(const termios &t)
{
    int result = 0;
    int error = 0;
    const auto set = [&] {
        result = ::tcsetattr(m_fd, TCSANOW, &t);
        error = errno;
    };
    if (m_guard)
        m_guard(set);
    else
        set();
    if (result != 0)
        complain("cannot change the settings", error);
}

std::uint32_t TtyPort::setBaudRate(std::uint32_t baud)
{
    termios t{};
    if (!settings(t))
        return 0;
    for (const Speed &s : Speeds) {
        if (s.baud == baud && baud != 0) {
            ::cfsetispeed(&t, s.code);
            ::cfsetospeed(&t, s.code);
            apply(t);
            settings(t);
            break;
        }
    }
    const speed_t now = ::cfgetospeed(&t);
    for (const Speed &s : Speeds) {
        if (s.code == now)
            return s.baud;
    }
    return 0;
}

std::uint8_t TtyPort::setDataSize(std::uint8_t size)
{
    static constexpr std::array<tcflag_t, 4> Sizes{CS5, CS6, CS7, CS8};
    termios t{};
    if (!settings(t))
        return 0;
    if (size >= 5 && size <= 8) {
        t.c_cflag = (t.c_cflag & ~CSIZE) | Sizes[size - 5];
        apply(t);
        settings(t);
    }
    for (std::size_t i = 0; i < Sizes.size(); ++i) {
        if ((t.c_cflag & CSIZE) == Sizes[i])
            return static_cast<std::uint8_t>(5 + i);
    }
    return 0;
}

std::uint8_t TtyPort::setParity(std::uint8_t parity)
{
    namespace p = cpc::parity;
    static constexpr tcflag_t Bits = PARENB | PARODD | CMSPAR;
    static constexpr std::array<std::pair<std::uint8_t, tcflag_t>, 5> Flags{{{p::None, 0},
                                                                             {p::Odd, PARENB | PARODD},
                                                                             {p::Even, PARENB},
                                                                             {p::Mark, PARENB | PARODD | CMSPAR},
                                                                             {p::Space, PARENB | CMSPAR}}};
    termios t{};
    if (!settings(t))
        return 0;
    for (const auto &[code, flags] : Flags) {
        if (code == parity) {
            t.c_cflag = (t.c_cflag & ~Bits) | flags;
            apply(t);
            settings(t);
        }
    }
    const tcflag_t now = (t.c_cflag & PARENB) ? (t.c_cflag & Bits) : 0;
    for (const auto &[code, flags] : Flags) {
        if (flags == now)
            return code;
    }
    return 0;
}

std::uint8_t TtyPort::setStopSize(std::uint8_t size)
{
    termios t{};
    if (!settings(t))
        return 0;
    // Linux has no 1.5 stop bits: that request is answered with what stays in force.
    if (size == cpc::stopsize::One || size == cpc::stopsize::Two) {
        t.c_cflag = size == cpc::stopsize::Two ? (t.c_cflag | CSTOPB) : (t.c_cflag & ~CSTOPB);
        apply(t);
        settings(t);
    }
    return (t.c_cflag & CSTOPB) ? cpc::stopsize::Two : cpc::stopsize::One;
}

std::uint8_t TtyPort::setControl(std::uint8_t value)
{
    namespace c = cpc::control;
    constexpr std::uint8_t AskFlow = 0, AskBreak = 4, BreakOn = 5, BreakOff = 6, AskDtr = 7, AskRts = 10;
    constexpr std::uint8_t AskInbound = 13, InboundNone = 14;
    termios t{};
    switch (value) {
    case c::NoFlowControl:
    case c::XonXoff:
        if (settings(t)) {
            t.c_iflag = value == c::XonXoff ? (t.c_iflag | IXON | IXOFF) : (t.c_iflag & ~(IXON | IXOFF));
            apply(t);
        }
        [[fallthrough]];
    case AskFlow:
    case c::Hardware: // refused: the 8250 stops reporting CTS changes under it, and CTS carries a contact
        return settings(t) && (t.c_iflag & IXON) ? c::XonXoff : c::NoFlowControl;
    case BreakOn:
    case BreakOff:
        if (::ioctl(m_fd, value == BreakOn ? TIOCSBRK : TIOCCBRK) == 0)
            m_break = value == BreakOn;
        else
            complain("cannot change the break state", errno);
        [[fallthrough]];
    case AskBreak: return m_break ? BreakOn : BreakOff;
    case c::DtrOn:
    case c::DtrOff: setLine(TIOCM_DTR, value == c::DtrOn); [[fallthrough]];
    case AskDtr: return line(TIOCM_DTR) ? c::DtrOn : c::DtrOff;
    case c::RtsOn:
    case c::RtsOff: setLine(TIOCM_RTS, value == c::RtsOn); [[fallthrough]];
    case AskRts: return line(TIOCM_RTS) ? c::RtsOn : c::RtsOff;
    case AskInbound:
    default: return InboundNone; // inbound flow control is not offered
    }
}

void TtyPort::purge(std::uint8_t which)
{
    constexpr std::array<int, 3> Queues{TCIFLUSH, TCOFLUSH, TCIOFLUSH};
    if (which < 1 || which > 3)
        return;
    ::tcflush(m_fd, Queues[which - 1]);
    if (m_purgeHook)
        m_purgeHook(which);
}

bool TtyPort::setLine(int bit, bool on)
{
    (bit == TIOCM_RTS ? m_rts : m_dtr) = on;
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0)
        return true;
    complain(std::string("cannot set ") + (bit == TIOCM_RTS ? "RTS" : "DTR"), errno);
    return false;
}

bool TtyPort::line(int bit) const
{
    int bits = 0;
    if (::ioctl(m_fd, TIOCMGET, &bits) == 0)
        return (bits & bit) != 0;
    return bit == TIOCM_RTS ? m_rts : m_dtr; // no modem lines: what was asked
}

void TtyPort::complain(const std::string &what, int error)
{
    const bool noLines = error == ENOTTY || error == EINVAL;
    if (noLines && m_complained)
        return;
    m_complained = m_complained || noLines;
    m_log(m_path + ": " + what + ": " + std::strerror(error)
          + (noLines ? " (the device has no modem lines; further such failures are not logged)" : ""));
}
