#include "sourcefilter.h"

namespace vantor::onair {

bool admitOnly(qintptr, const QList<QHostAddress> &)
{
    return false;
}

} // namespace vantor::onair
