#include "threadswitches.h"

#include <QDir>
#include <QFile>

#include <sys/syscall.h>
#include <unistd.h>

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

long long field(const QByteArray &status, const QByteArray &name)
{
    const qsizetype at = status.indexOf("\n" + name + ":");
    if (at < 0)
        return 0;
    const qsizetype end = status.indexOf('\n', at + 1);
    return status.mid(at + name.size() + 2, end - at - name.size() - 2).trimmed().toLongLong();
}
} // namespace

ThreadSwitches ThreadSwitches::now()
{
    ThreadSwitches s;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray status = readFile(tasks.filePath(tid + QStringLiteral("/status")));
        if (status.isEmpty())
            continue; // ended meanwhile
        Thread t;
        t.name = QString::fromLocal8Bit(readFile(tasks.filePath(tid + QStringLiteral("/comm"))).trimmed());
        t.voluntary = field(status, "voluntary_ctxt_switches");
        t.involuntary = field(status, "nonvoluntary_ctxt_switches");
        s.threads[tid.toInt()] = t;
    }
    return s;
}

ThreadSwitches ThreadSwitches::since(const ThreadSwitches &before) const
{
    ThreadSwitches d;
    for (const auto &[tid, t] : threads) {
        Thread diff = t;
        if (const auto old = before.threads.find(tid); old != before.threads.end()) {
            diff.voluntary -= old->second.voluntary;
            diff.involuntary -= old->second.involuntary;
        }
        d.threads[tid] = diff;
    }
    return d;
}

long long ThreadSwitches::total() const
{
    long long sum = 0;
    for (const auto &[tid, t] : threads)
        sum += t.total();
    return sum;
}

int currentThreadId()
{
    return int(::syscall(SYS_gettid));
}
