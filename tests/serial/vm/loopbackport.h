#pragma once

#include <string>

#include <termios.h>

// The guest's 16550 in internal loopback: RTS drives CTS, DTR drives DSR.
class LoopbackPort
{
public:
    explicit LoopbackPort(const char *path);
    ~LoopbackPort();
    LoopbackPort(const LoopbackPort &) = delete;
    LoopbackPort &operator=(const LoopbackPort &) = delete;

    bool ok() const { return m_fd >= 0; }
    const std::string &error() const { return m_error; }
    int fd() const { return m_fd; }

    // Raise or drop outputs (TIOCM_RTS, TIOCM_DTR) without touching the loopback bit.
    void raise(int bits) const;
    void drop(int bits) const;
    bool setSpeed(speed_t speed) const;

private:
    int m_fd = -1;
    std::string m_error;
};
