#include "app/edition.h"

namespace vantor::app::edition {

QString lacks()
{
    return {};
}

void connectStandardStreams() {}

} // namespace vantor::app::edition
