#pragma once

#include <linux/serial.h>

namespace vantor::serial {

// The three driver calls the line watcher makes, so that a test can play the driver (a wait
// that fails, that never wakes, lines that cannot be read). Each returns 0, or -1 with errno
// set, as the ioctl does; the real one (ttyLineDriver) is the ioctl on the tty.
class LineDriver
{
public:
    virtual ~LineDriver() = default;
    // TIOCMIWAIT: sleeps until one of the lines in `mask` changes; EINTR when a signal lands.
    virtual int waitForChange(int mask) = 0;
    // TIOCGICOUNT: the interrupt counters.
    virtual int counters(serial_icounter_struct &counts) = 0;
    // TIOCMGET: the levels of the modem lines (TIOCM_* bits).
    virtual int lines(int &bits) = 0;
};

} // namespace vantor::serial
