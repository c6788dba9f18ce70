#include "injector.h"

#include "runqueuewait.h"
#include "station.h"

#include "serial/service/commevent.h"

#include <time.h>

using namespace vantor::serial;

namespace {
constexpr int LineWaitMs = 5000;
constexpr int IdleWaitMs = 10000;

void sleepFor(std::chrono::nanoseconds d)
{
    const timespec t{time_t(d.count() / 1'000'000'000), long(d.count() % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
}
} // namespace

Injector::Run Injector::alternating(int events)
{
    Run run;
    run.posted.reserve(size_t(events));
    for (int i = 0; i < events && Clock::now() < m_deadline; ++i) {
        const auto waited = processorWait();
        const auto windowWaited = RunQueueWait::of(m_station.windowThreadId());
        const auto now = Clock::now();
        run.posted.push_back(now);
        m_station.port().post(CommEvent{comm::Cts, i % 2 == 0, {}, now});
        if (!awaitLines(1, run, i))
            break;
        run.processorWait.push_back(processorWait() - waited);
        run.windowWait.push_back(RunQueueWait::of(m_station.windowThreadId()) - windowWaited);
        if (!awaitIdle(i + 1, run, i))
            break;
        pause();
    }
    return run;
}

Injector::Run Injector::simultaneous(int pairs)
{
    Run run;
    run.posted.reserve(size_t(pairs));
    for (int i = 0; i < pairs && Clock::now() < m_deadline; ++i) {
        const auto waited = processorWait();
        const auto now = Clock::now();
        run.posted.push_back(now);
        m_station.port().post(CommEvent{comm::Cts, true, {}, now});
        m_station.port().post(CommEvent{comm::Dsr, true, {}, Clock::now()});
        if (!awaitLines(2, run, i))
            break;
        run.processorWait.push_back(processorWait() - waited);
        if (!awaitIdle(4 * i + 2, run, i))
            break;
        pause();
        m_station.port().post(CommEvent{comm::Cts, false, {}, Clock::now()});
        m_station.port().post(CommEvent{comm::Dsr, false, {}, Clock::now()});
        if (!awaitIdle(4 * i + 4, run, i))
            break;
        pause();
    }
    return run;
}

std::chrono::nanoseconds Injector::processorWait() const
{
    return RunQueueWait::of(m_station.windowThreadId()) + RunQueueWait::of(m_station.serverThreadId());
}

bool Injector::awaitLines(int count, Run &run, int index)
{
    if (m_station.lineArrived.tryAcquire(count, LineWaitMs))
        return true;
    run.failure = QStringLiteral("change %1: PLAY line missing after %2 ms").arg(index).arg(LineWaitMs);
    return false;
}

bool Injector::awaitIdle(int events, Run &run, int index)
{
    if (m_station.waitIdle(events, std::chrono::milliseconds(IdleWaitMs)))
        return true;
    run.failure = QStringLiteral("change %1: not handled after %2 ms").arg(index).arg(IdleWaitMs);
    return false;
}

void Injector::pause()
{
    std::uniform_int_distribution<int> us(200, 500);
    sleepFor(std::chrono::microseconds(us(m_random)));
}
