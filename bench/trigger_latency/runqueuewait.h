#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

#include <chrono>

#include <sys/syscall.h>
#include <unistd.h>

// How long threads of this process were ready to run but waited for a processor (the
// scheduler's run-queue delay, /proc/self/task/<tid>/schedstat): on a shared machine this
// tells the machine's share of a latency from the program's own.
namespace RunQueueWait {

inline int currentThreadId()
{
    return int(::syscall(SYS_gettid));
}

inline std::chrono::nanoseconds of(int tid)
{
    QFile stat(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = stat.readAll().split(' ');
    return std::chrono::nanoseconds(fields.size() > 1 ? fields[1].toLongLong() : 0);
}

} // namespace RunQueueWait
