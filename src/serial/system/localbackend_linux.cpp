#include "localbackend.h"

#include "serial/tty/ttybackend.h"

namespace vantor::serial {

std::unique_ptr<PortBackend> makeLocalBackend(std::function<void()> watcherThreadStart)
{
    auto tty = std::make_unique<TtyBackend>();
    tty->setWatcherThreadStart(std::move(watcherThreadStart));
    return tty;
}

} // namespace vantor::serial
