#include "protector.h"

#include "faultsignals.h"
#include "procedure.h"

#include <atomic>

namespace vantor {

namespace {
constexpr const char *Module = "vbwProtector";

// Set at the end of the first start-up; it keeps the start-up to one run per process.
std::atomic<bool> initialised{false};
} // namespace

void vbwInitializeProtector(ErrorTrap &trap)
{
    Procedure p(trap, {Module, "vbwInitializeProtector"}, 1);
    if (p.test(2, [] { return initialised.load(); })) {
        p.exit(3);
        return;
    }
    p.mark(4);
    p.step(5, [&] { vbwHandleException(trap); });
    p.step(6, [] { initialised.store(true); });
    p.exit(18);
}

void vbwHandleException(ErrorTrap &trap)
{
    Procedure p(trap, {Module, "vbwHandleException"}, 371);
    p.step(372, [] { installFaultFilter(); });
    p.exit(373);
}

} // namespace vantor
