#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QThread>

// One line saying when and where a benchmark ran: UTC time, processors, CPU model and load.
namespace MachineDescription {

inline QString cpuModel()
{
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (!info.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown CPU");
    // Files under /proc report no size: read them whole, not up to atEnd().
    for (const QByteArray &line : info.readAll().split('\n')) {
        if (line.startsWith("model name"))
            return QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
    }
    return QStringLiteral("unknown CPU");
}

inline QString loadAverage()
{
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(load.readAll().split(' ').mid(0, 3).join(' '));
}

inline QString describe()
{
    return QStringLiteral("%1, %2 processors, %3, load average %4")
        .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
        .arg(QThread::idealThreadCount())
        .arg(cpuModel(), loadAverage());
}

} // namespace MachineDescription
