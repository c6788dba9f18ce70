#pragma once

#include "app/window/mainwindow.h"

#include <cstdio>

namespace vantor::app {

// A line about the station's own files for the History log. A failure ("***") goes to
// standard error as well, for a station whose window nobody watches.
inline void stationNotice(MainWindow &window, const QString &line)
{
    window.SetStatus(line);
    if (line.startsWith(QLatin1String("***")))
        std::fprintf(stderr, "vantor-listener: %s\n", qPrintable(line));
}

} // namespace vantor::app
