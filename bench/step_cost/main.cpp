// The cost of one trapped step (Procedure::step with the fault filter installed), against a bare
// call and against a step boundary that saves the signal mask (sigsetjmp(…, 1): a system call).
// Run: build-dir/bench/step_cost/bench_step_cost [steps]
#include "errortrap/procedure.h"
#include "errortrap/protector.h"

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class NeverAsked : public vantor::Prompter
{
public:
    vantor::Answer ask(const std::string &) override { std::abort(); }
};

volatile long sink = 0;

[[gnu::noinline]] void work(long i)
{
    sink = sink + i;
}

// A step boundary that saves the signal mask, as a jump-only delivery would need.
[[gnu::noinline]] void maskSavingStep(long i)
{
    sigjmp_buf boundary;
    if (sigsetjmp(boundary, 1) == 0)
        work(i);
}

template <class F>
double nanosecondsPer(long count, F &&loop)
{
    const auto start = std::chrono::steady_clock::now();
    loop(count);
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / double(count);
}

} // namespace

int main(int argc, char *argv[])
{
    const long steps = argc > 1 ? std::atol(argv[1]) : 10'000'000;
    NeverAsked prompter;
    vantor::ErrorTrap trap(prompter);
    vantor::vbwInitializeProtector(trap);

    const double bare = nanosecondsPer(steps, [](long n) {
        for (long i = 0; i < n; ++i)
            work(i);
    });
    const double trapped = nanosecondsPer(steps, [&](long n) {
        vantor::Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
        for (long i = 0; i < n; ++i)
            p.step(257, [i] { work(i); });
    });
    const double maskSaving = nanosecondsPer(steps, [](long n) {
        for (long i = 0; i < n; ++i)
            maskSavingStep(i);
    });

    std::printf("steps: %ld\n", steps);
    std::printf("bare call:                     %6.1f ns\n", bare);
    std::printf("trapped step (filter on):      %6.1f ns  (+%.1f ns per step)\n", trapped, trapped - bare);
    std::printf("boundary saving the mask:      %6.1f ns  (+%.1f ns per step)\n", maskSaving, maskSaving - bare);
    std::printf("a firing's ~15 steps cost:     %6.2f us trapped\n", 15 * (trapped - bare) / 1000.0);
    std::printf("command: %s %ld\n", argv[0], steps);
    return 0;
}
