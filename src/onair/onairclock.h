#pragma once

#include "onairstate.h"

namespace vantor::onair {

// Where the on-air rule and its watch read the time: the steady clock the receiver stamps
// datagrams with, or a test's own.
class OnAirClock
{
public:
    virtual ~OnAirClock() = default;
    virtual TimePoint now() const = 0;
};

class SteadyOnAirClock : public OnAirClock
{
public:
    TimePoint now() const override { return Clock::now(); }
};

} // namespace vantor::onair
