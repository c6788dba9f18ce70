#pragma once

namespace vantor::app {

// Makes Qt's accessibility use our interfaces for the widgets that draw themselves (the
// logs, the lamps and the collapse toggle). Called by those widgets; the first call installs, the others return.
void installAccessibleFactory();

} // namespace vantor::app
