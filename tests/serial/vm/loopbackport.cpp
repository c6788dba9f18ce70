#include "loopbackport.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000 // the UART's internal loopback (asm-generic/termios.h)
#endif

LoopbackPort::LoopbackPort(const char *path)
{
    m_fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        m_error = std::string("open ") + path + ": " + std::strerror(errno);
        return;
    }
    termios t{};
    tcgetattr(m_fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD; // the driver counts modem changes only with CLOCAL, no CRTSCTS
    t.c_cflag &= ~CRTSCTS;
    cfsetspeed(&t, B9600);
    const int loop = TIOCM_LOOP;
    if (tcsetattr(m_fd, TCSANOW, &t) < 0 || ::ioctl(m_fd, TIOCMBIS, &loop) < 0) {
        m_error = std::string("set up ") + path + ": " + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    drop(TIOCM_RTS | TIOCM_DTR);
}

LoopbackPort::~LoopbackPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void LoopbackPort::raise(int bits) const
{
    ::ioctl(m_fd, TIOCMBIS, &bits);
}

void LoopbackPort::drop(int bits) const
{
    ::ioctl(m_fd, TIOCMBIC, &bits);
}

bool LoopbackPort::setSpeed(speed_t speed) const
{
    termios t{};
    return tcgetattr(m_fd, &t) == 0 && cfsetspeed(&t, speed) == 0 && tcsetattr(m_fd, TCSANOW, &t) == 0;
}
