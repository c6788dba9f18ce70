#pragma once

#include "serial/system/portprobe.h"

#include "errortrap/runtimeerror.h"

#include <QSet>
#include <QStringList>

// A probe for tests: the targets in `openable` can be opened, a target in `failing` makes
// the probe itself fail with a run-time error; every question is remembered.
class FakePortProbe : public vantor::serial::PortProbe
{
public:
    QSet<QString> openable;
    QSet<QString> failing;
    mutable QStringList asked;

    bool available(const QString &target) const override
    {
        asked << target;
        if (failing.contains(target))
            throw vantor::RuntimeError(5, "Probe failed: " + target.toStdString());
        return openable.contains(target);
    }
};
