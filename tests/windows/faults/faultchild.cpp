// A child process for the fault tests under Wine. It installs the protector, runs the one
// scenario named on its command line, writes every error box it is shown and every step it gets
// through on standard output, and ends normally with "finished". "-filter" after the scenario
// takes the vectored handler out first, so that the faults reach the unhandled-exception filter
// alone, and runs the scenario on a thread the system started: the main thread's start-up code
// carries the C runtime's own handler, which resumes some faults itself before the filter could
// see them (the reason for the vectored handler).
#include "errortrap/exceptionfilter.h"
#include "errortrap/faultfilter_win.h"
#include "errortrap/procedure.h"
#include "errortrap/protector.h"
#include "scriptedprompter.h"

#include <QByteArray>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

using vantor::Answer;
using vantor::ErrorTrap;
using vantor::Procedure;

namespace {

int *volatile nowhere = nullptr;
bool filterAlone = false;
const char *volatile noText = nullptr;

inline void writeNowhere() noexcept
{
    *nowhere = 1;
}

void say(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

class EchoingPrompter : public ScriptedPrompter
{
public:
    Answer ask(const std::string &prompt) override
    {
        std::string line = "prompt ";
        for (const char c : prompt)
            line += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
        say(line.c_str());
        return ScriptedPrompter::ask(prompt);
    }
};

struct Released
{
    ~Released() { say("released"); }
};

// Every code of the name table, the codes on either side of a listed one, and one of the
// program's own kind; each raised in a step of its own, line 1000 + its place in this list.
constexpr DWORD RaisedCodes[] = {0x80000001, 0x80000002, 0x80000003, 0x80000004, 0xC0000005, 0xC0000006, 0xC0000008,
                                 0xC000001D, 0xC0000025, 0xC0000026, 0xC000008C, 0xC000008D, 0xC000008E, 0xC000008F,
                                 0xC0000090, 0xC0000091, 0xC0000092, 0xC0000093, 0xC0000094, 0xC0000095, 0xC0000096,
                                 0xC00000FD, 0xC000013A, 0xC0000007, 0xC0000004, 0xE0000001};

using Scenario = std::function<void(ErrorTrap &, EchoingPrompter &)>;

const std::map<std::string, Scenario> &scenarios()
{
    static const std::map<std::string, Scenario> all = {
        {"table",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 999);
             int line = 1000;
             for (const DWORD code : RaisedCodes) {
                 // Wine's UnhandledExceptionFilter ends the process on a console's Ctrl+C code
                 // without asking the program's filter.
                 if (filterAlone && code == 0xC000013A)
                     continue;
                 std::printf("code 0x%08lX\n", static_cast<unsigned long>(code));
                 p.step(line++, [code] { RaiseException(code, 0, 0, nullptr); });
             }
             p.step(line, [] { say("after"); });
         }},
        {"nested-records",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"vbwProtector", "vbwHandleException"}, 371);
             p.step(372, [] {
                 using Raise = VOID(NTAPI *)(PEXCEPTION_RECORD);
                 const auto raise = reinterpret_cast<Raise>(
                     reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlRaiseException")));
                 EXCEPTION_RECORD last{};
                 last.ExceptionCode = 0xC0000094;
                 EXCEPTION_RECORD middle{};
                 middle.ExceptionCode = 0xC0000026;
                 middle.ExceptionRecord = &last;
                 EXCEPTION_RECORD first{};
                 first.ExceptionCode = 0xC0000025;
                 first.ExceptionRecord = &middle;
                 raise(&first);
             });
             p.step(373, [] { say("after"); });
         }},
        {"null-write",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"modDeclares", "GetAvailablePorts"}, 13);
             p.step(15, [] {
                 const Released held;
                 *nowhere = 1;
             });
             p.step(16, [] { say("after"); });
         }},
        {"noexcept",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "SetStatus"}, 232);
             p.step(233, [] { writeNowhere(); });
             p.step(234, [] { say("after"); });
         }},
        {"library-leaf",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"modDeclares", "LPSTRtoSTRING"}, 46);
             volatile std::size_t length = 0;
             p.step(48, [&] { length = std::strlen(noText); });
             p.step(49, [] { say("after"); });
         }},
        {"retry",
         [](ErrorTrap &trap, EchoingPrompter &prompter) {
             prompter.answers = {Answer::Retry};
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             int attempts = 0;
             p.step(260, [&] {
                 say(++attempts == 1 ? "attempt 1" : "attempt 2");
                 if (attempts == 1)
                     *nowhere = 1;
             });
             p.step(261, [] { say("after"); });
         }},
        {"outside", [](ErrorTrap &, EchoingPrompter &) { *nowhere = 1; }},
        {"other-thread",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { std::thread([] { *nowhere = 1; }).join(); });
         }},
        {"foreign",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             // Qt's own code copies from the bad address: a library's frame lies between.
             p.step(257, [] { QByteArray copy(noText + 16, 8); });
             p.step(258, [] { say("after"); });
         }},
    };
    return all;
}

} // namespace

int main(int argc, char *argv[])
{
    const auto scenario = argc > 1 ? scenarios().find(argv[1]) : scenarios().end();
    if (scenario == scenarios().end()) {
        std::fprintf(stderr, "usage: faultchild SCENARIO [-filter]\n");
        return 2;
    }
    static EchoingPrompter prompter;
    static ErrorTrap trap(prompter, [] { ExitProcess(3); });
    static const Scenario *run = &scenario->second;
    filterAlone = argc > 2 && std::strcmp(argv[2], "-filter") == 0;
    if (filterAlone) {
        const HANDLE thread = CreateThread(
            nullptr, 0,
            [](void *) -> DWORD {
                vantor::vbwInitializeProtector(trap);
                vantor::withoutVectoredHandler();
                (*run)(trap, prompter);
                return 0;
            },
            nullptr, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
    } else {
        vantor::vbwInitializeProtector(trap);
        (*run)(trap, prompter);
    }
    say("finished");
    return 0;
}
