#pragma once

#include "serial/service/portbackend.h"

#include <functional>
#include <memory>

namespace vantor::serial {

// The backend of a local serial device on this system (localbackend_linux.cpp: a tty).
// watcherThreadStart runs first on each thread of the port's line watcher.
std::unique_ptr<PortBackend> makeLocalBackend(std::function<void()> watcherThreadStart);

} // namespace vantor::serial
