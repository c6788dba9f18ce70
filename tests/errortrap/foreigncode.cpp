// Code as a library built without fault unwinding has it: a function with a cleanup whose
// exception table covers its calls only, not the store that faults.
namespace {
volatile int cleanups = 0;

struct Cleanup
{
    ~Cleanup() { cleanups = cleanups + 1; }
};
} // namespace

[[gnu::noinline]] void opaqueCall()
{
    cleanups = cleanups + 0;
}

void faultAmidCleanups(int *volatile *target)
{
    const Cleanup cleanup;
    opaqueCall();
    **target = 1;
    opaqueCall();
}
