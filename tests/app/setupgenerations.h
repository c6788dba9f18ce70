#pragma once

#include <QString>

// The movie of the N-th change in the SIGKILL test: the name's length varies, so that a file
// with parts of two set-ups shows.
inline QString generationMovie(quint64 n)
{
    return QStringLiteral("gen%1-%2.mov").arg(n).arg(QString(qsizetype(n * 37 % 300), QLatin1Char('x')));
}
