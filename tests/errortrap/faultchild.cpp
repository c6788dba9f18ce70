// A child process for the fault tests. It installs the protector, runs the one scenario named on
// its command line (real faults inside and outside trapped steps), writes every error box it is
// shown and every step it gets through on standard output, and ends normally with "finished".
#include "errortrap/procedure.h"
#include "errortrap/protector.h"
#include "scriptedprompter.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include <sys/prctl.h>
#include <sys/resource.h>

using vantor::Answer;
using vantor::ErrorTrap;
using vantor::Procedure;

void faultAmidCleanups(int *volatile *target);               // foreigncode.cpp, built without fault unwinding
extern "C" void lockingLibraryStore(int *target, int value); // lockinglibrary.c, a shared C library

namespace {

int *volatile nowhere = nullptr;
volatile int zero = 0;
volatile int stopAt = -1;

// As an inline accessor of a library is: noexcept, so nothing may be thrown out of it.
inline void writeNowhere() noexcept
{
    *nowhere = 1;
}

[[gnu::noinline]] void illegalInstruction()
{
    __builtin_trap();
}

[[gnu::noinline]] int recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    if (depth == stopAt)
        return 0;
    return recurse(depth + 1) + frame[0];
}

void say(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// Writes each box on one line, CR and LF spelled out.
class EchoingPrompter : public ScriptedPrompter
{
public:
    std::function<void()> onAsk;

    Answer ask(const std::string &prompt) override
    {
        std::string line = "prompt ";
        for (const char c : prompt)
            line += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
        say(line.c_str());
        if (onAsk)
            onAsk();
        return ScriptedPrompter::ask(prompt);
    }
};

struct Released
{
    ~Released() { say("released"); }
};

using Scenario = std::function<void(ErrorTrap &, EchoingPrompter &)>;

const std::map<std::string, Scenario> &scenarios()
{
    static const std::map<std::string, Scenario> all = {
        {"null-write",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"modDeclares", "GetAvailablePorts"}, 13);
             p.step(14, [] { say("before"); });
             p.step(15, [] {
                 *nowhere = 1;
                 say("not reached");
             });
             p.step(16, [] { say("after"); });
             p.exit(36);
         }},
        {"divide",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             volatile int result = 0;
             p.step(257, [&] { result = 7 / zero; });
             p.step(258, [] { say("after"); });
             p.exit(283);
         }},
        {"illegal",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "MSComm1_OnComm"}, 172);
             p.step(173, [] { illegalInstruction(); });
             p.step(174, [] { say("after"); });
             p.exit(231);
         }},
        {"overflow",
         [](ErrorTrap &trap, EchoingPrompter &) {
             rlimit stack{};
             getrlimit(RLIMIT_STACK, &stack);
             if (stack.rlim_cur > (8 << 20)) { // an unlimited stack would take long to exhaust
                 stack.rlim_cur = 8 << 20;
                 setrlimit(RLIMIT_STACK, &stack);
             }
             Procedure p(trap, {"frmMAIN", "Form_Load"}, 124);
             p.step(125, [] { recurse(0); });
             p.step(126, [] { say("after"); });
             p.exit(149);
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
             p.exit(283);
         }},
        {"repeat",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             volatile int result = 0;
             p.step(257, [] { *nowhere = 1; });
             p.step(258, [&] { result = 1 / zero; });
             p.step(259, [] { *nowhere = 2; });
             p.step(260, [] { say("after"); });
             p.exit(283);
         }},
        {"nested",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure caller(trap, {"frmMAIN", "ListComPorts"}, 60);
             caller.step(61, [&] {
                 Procedure callee(trap, {"modDeclares", "COMAvailable"}, 1);
                 callee.step(5, [] {
                     const Released held;
                     *nowhere = 1;
                 });
                 callee.step(6, [] { say("callee went on"); });
                 callee.exit(12);
             });
             caller.step(62, [&] { say(Procedure::current() == &caller ? "caller current" : "chain broken"); });
             caller.exit(80);
         }},
        {"callee-body",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure caller(trap, {"frmMAIN", "ListComPorts"}, 60);
             caller.step(61, [&] {
                 Procedure callee(trap, {"modDeclares", "COMAvailable"}, 1);
                 *nowhere = 1; // in the callee's own lines, outside its steps
                 callee.exit(12);
             });
             caller.step(62, [&] { say(Procedure::current() == &caller ? "caller current" : "chain broken"); });
             caller.exit(80);
         }},
        {"callee-body-trap",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure caller(trap, {"frmMAIN", "ListComPorts"}, 60);
             caller.step(61, [&] {
                 Procedure callee(trap, {"modDeclares", "COMAvailable"}, 1);
                 __builtin_trap();
             });
             caller.step(62, [&] { say(Procedure::current() == &caller ? "caller current" : "chain broken"); });
             caller.exit(80);
         }},
        {"callee-body-noexcept",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure caller(trap, {"frmMAIN", "ListComPorts"}, 60);
             caller.step(61, [&] {
                 Procedure callee(trap, {"modDeclares", "COMAvailable"}, 1);
                 writeNowhere();
                 callee.exit(12);
             });
             caller.step(62, [&] { say(Procedure::current() == &caller ? "caller current" : "chain broken"); });
             caller.exit(80);
         }},
        {"resume-next",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "cboComm_Change"}, 1);
             p.resumeNext();
             p.step(3, [] { *nowhere = 1; });
             const bool recorded = p.lastError() && p.lastError()->number() == 65535
                 && p.lastError()->description() == "Exception: Access Violation";
             say(recorded ? "recorded" : "not recorded");
         }},
        {"outside", [](ErrorTrap &, EchoingPrompter &) { *nowhere = 1; }},
        {"between-steps",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { say("before"); });
             *nowhere = 1;
             p.exit(283);
         }},
        {"second-fault",
         [](ErrorTrap &trap, EchoingPrompter &prompter) {
             prompter.onAsk = [] { *nowhere = 2; };
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { *nowhere = 1; });
         }},
        {"other-thread",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { std::thread([] { *nowhere = 1; }).join(); });
         }},
        {"sent",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { std::raise(SIGSEGV); });
         }},
        {"foreign",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { faultAmidCleanups(&nowhere); });
             p.step(258, [&] { say(Procedure::current() == &p ? "after" : "chain broken"); });
             p.exit(283);
         }},
        {"noexcept",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "SetStatus"}, 232);
             p.step(233, [] { writeNowhere(); });
             p.step(234, [] { say("after"); });
             p.exit(235);
         }},
        {"library-leaf",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"modDeclares", "LPSTRtoSTRING"}, 46);
             volatile std::size_t length = 0;
             p.step(48, [&] { length = std::strlen(reinterpret_cast<const char *>(nowhere)); });
             p.step(49, [] { say("after"); });
             p.exit(52);
         }},
        {"library-lock",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "FIREME"}, 256);
             p.step(257, [] { lockingLibraryStore(nowhere, 1); });
             p.step(258, [] {
                 lockingLibraryStore(const_cast<int *>(&zero), 0); // its lock again
                 say("after");
             });
             p.exit(283);
         }},
        {"handler-under-box",
         [](ErrorTrap &trap, EchoingPrompter &) {
             int argc = 1;
             char name[] = "faultchild";
             char *argv[] = {name, nullptr};
             QApplication app(argc, argv);
             Procedure p(trap, {"frmMAIN", "MSComm1_OnComm"}, 172);
             p.step(181, [] {
                 // A timer's handler, with no procedure of its own, while a box of the step shows.
                 QTimer::singleShot(0, [] {
                     say("handler");
                     *nowhere = 1;
                 });
                 QMessageBox box(QMessageBox::NoIcon, "VANTOR Listener", "Not ready", QMessageBox::Ok);
                 box.exec();
             });
             p.step(182, [] { say("after"); });
             p.exit(231);
         }},
        {"trap-inline",
         [](ErrorTrap &trap, EchoingPrompter &) {
             Procedure p(trap, {"frmMAIN", "cmdCASPAR_Click"}, 100);
             p.step(101, [] { __builtin_trap(); });
             p.step(102, [] { say("after"); });
             p.exit(110);
         }},
    };
    return all;
}

// A second start-up leaves the handlers alone: one put in after the first stays.
void onMarker(int) {}

int startTwice(ErrorTrap &trap)
{
    vantor::vbwInitializeProtector(trap);
    struct sigaction marker = {};
    marker.sa_handler = onMarker;
    sigaction(SIGSEGV, &marker, nullptr);
    vantor::vbwInitializeProtector(trap);
    struct sigaction now = {};
    sigaction(SIGSEGV, nullptr, &now);
    say(now.sa_handler == onMarker ? "kept" : "installed again");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The faults are meant: no core files.
    prctl(PR_SET_DUMPABLE, 0);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc < 2)
        return 2;
    EchoingPrompter prompter;
    ErrorTrap trap(prompter);
    if (std::strcmp(argv[1], "once") == 0)
        return startTwice(trap);
    const auto scenario = scenarios().find(argv[1]);
    if (scenario == scenarios().end())
        return 2;
    vantor::vbwInitializeProtector(trap);
    scenario->second(trap, prompter);
    say("finished");
    return 0;
}
