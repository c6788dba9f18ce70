#include "application.h"

namespace vantor::app {

int run(int, char *[])
{
    return 0; // the window comes next
}

} // namespace vantor::app
