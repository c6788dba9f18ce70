#include "app/edition.h"

#include <QByteArray>

#include <windows.h>

#include <cstdio>

namespace vantor::app::edition {

QString lacks()
{
    return QStringLiteral("The Windows edition has no notices to a service manager (start it at logon with the\n"
                          "Task Scheduler) and no network serial server of its own (vantor-port-server runs\n"
                          "on Linux). --realtime raises the priority class and the threads' priorities and\n"
                          "keeps memory resident, in place of SCHED_FIFO and mlockall.");
}

void connectStandardStreams()
{
    // Started from a console (cmd, PowerShell) or with its output redirected, the program has
    // standard handles already; a window program started from a console has none, and writes
    // to that console once attached to it.
    if (::GetStdHandle(STD_OUTPUT_HANDLE) || !::AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
}

bool onDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return !platform.startsWith("offscreen") && !platform.startsWith("minimal");
}

} // namespace vantor::app::edition
