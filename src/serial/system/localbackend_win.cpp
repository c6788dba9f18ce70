#include "localbackend.h"

#include "serial/comport/combackend.h"

namespace vantor::serial {

std::unique_ptr<PortBackend> makeLocalBackend(std::function<void()> watcherThreadStart)
{
    auto port = std::make_unique<ComBackend>(makeSystemCommCalls());
    port->setWatcherThreadStart(std::move(watcherThreadStart));
    return port;
}

} // namespace vantor::serial
