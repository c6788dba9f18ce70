#include "app/edition.h"

#include <QByteArray>

namespace vantor::app::edition {

QString lacks()
{
    return {};
}

void connectStandardStreams() {}

bool onDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

} // namespace vantor::app::edition
