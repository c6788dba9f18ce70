#include "app/monitor/servicenotifier.h"

// Windows has no service manager that listens for notices: nothing is sent, no timer runs,
// and the start is never an unattended one by itself (--unattended asks for it).

namespace vantor::app {

ServiceNotifier::ServiceNotifier(QObject *parent)
    : QObject(parent)
    , m_active(false)
{
}

bool ServiceNotifier::underServiceManager()
{
    return false;
}

void ServiceNotifier::ready(const QString &) {}

void ServiceNotifier::setStatus(const QString &) {}

void ServiceNotifier::stopping() {}

void ServiceNotifier::setBoxOpen(bool) {}

bool ServiceNotifier::send(const QString &)
{
    return false;
}

} // namespace vantor::app
