// Code as a library built without fault unwinding has it: a function with a cleanup whose
// exception table covers its calls only, not the store that faults.
#include <cstdio>

namespace {
struct Cleanup
{
    ~Cleanup() { std::puts("foreign cleanup"); }
};
} // namespace

[[gnu::noinline]] void opaqueCall()
{
    std::fflush(stdout);
}

void faultAmidCleanups(int *volatile *target)
{
    const Cleanup cleanup;
    opaqueCall();
    **target = 1;
    opaqueCall();
}
