#pragma once

#include "app/window/activitylog.h"

#include <QStringList>

// The messages of a log, without their "hh:mm:ss : " stamps.
inline QStringList logMessages(const vantor::app::ActivityLog &log)
{
    QStringList out;
    for (const QString &line : log.lines())
        out << line.mid(11);
    return out;
}
