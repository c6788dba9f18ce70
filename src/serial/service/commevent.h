#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <chrono>

namespace vantor::serial {

// Codes of the port's communication event.
namespace comm {
constexpr qint16 Send = 1;
constexpr qint16 Receive = 2;
constexpr qint16 Cts = 3;
constexpr qint16 Dsr = 4;
constexpr qint16 Cd = 5;
constexpr qint16 Ring = 6;
constexpr qint16 Eof = 7;
constexpr qint16 Break = 1001;
constexpr qint16 CtsTimeout = 1002;
constexpr qint16 DsrTimeout = 1003;
constexpr qint16 Frame = 1004;
constexpr qint16 Overrun = 1006;
constexpr qint16 CdTimeout = 1007;
constexpr qint16 RxOver = 1008;
constexpr qint16 RxParity = 1009;
constexpr qint16 TxFull = 1010;
constexpr qint16 Dcb = 1011;
} // namespace comm

using Clock = std::chrono::steady_clock;

// One event of the port, as it happened. Line changes carry the level the line took in that
// change; receive events carry their bytes.
struct CommEvent
{
    qint16 code = 0;
    bool level = false;
    QByteArray data;
    Clock::time_point when = Clock::now();
};

} // namespace vantor::serial
