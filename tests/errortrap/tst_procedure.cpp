// The procedure trap: the box's text, and what Retry, Ignore and Abort do to a procedure.
#include "scriptedprompter.h"

#include "errortrap/procedure.h"

#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

using namespace vantor;

namespace {
std::string promptOf(int number, const std::string &description, const char *module, const char *procedure, int line)
{
    return "Error " + std::to_string(number) + "\r\n" + description + "\r\nLocation: VANTOR." + module + "." + procedure
        + "\r\nLine " + std::to_string(line);
}
} // namespace

class TestProcedure : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void promptHasFourLines()
    {
        QCOMPARE(ErrorTrap::prompt(RuntimeError(380, "Invalid property value"), {"frmMAIN", "FIREME"}, 257),
                 std::string("Error 380\r\nInvalid property value\r\nLocation: VANTOR.frmMAIN.FIREME\r\nLine 257"));
        // Numbers as the source gives them, negative ones included.
        QCOMPARE(ErrorTrap::prompt(RuntimeError(-2147467259, "Unspecified error"), {"modDeclares", "COMAvailable"}, 5),
                 std::string(
                     "Error -2147467259\r\nUnspecified error\r\nLocation: VANTOR.modDeclares.COMAvailable\r\nLine 5"));
    }

    void retryRunsTheStepAgainUntilItSucceeds()
    {
        ScriptedPrompter prompter;
        prompter.answers = {Answer::Retry, Answer::Retry};
        ErrorTrap trap(prompter);
        int attempts = 0;
        std::vector<int> ran;
        {
            Procedure p(trap, {"frmMAIN", "cmdCASPAR_Click"}, 45);
            p.step(46, [&] {
                if (++attempts < 3)
                    throw RuntimeError(10060, "Connection timed out");
                ran.push_back(46);
            });
            p.step(47, [&] { ran.push_back(47); });
            p.exit(59);
        }
        QCOMPARE(attempts, 3);
        QCOMPARE(ran, (std::vector<int>{46, 47}));
        QCOMPARE(prompter.prompts.size(), size_t(2));
        QCOMPARE(prompter.prompts[0], promptOf(10060, "Connection timed out", "frmMAIN", "cmdCASPAR_Click", 46));
        QCOMPARE(prompter.prompts[1], prompter.prompts[0]);
    }

    void ignoreGoesOnWithTheNextStep()
    {
        ScriptedPrompter prompter;
        prompter.answers = {Answer::Ignore};
        ErrorTrap trap(prompter);
        std::vector<int> ran;
        Procedure p(trap, {"frmMAIN", "SetStatus"}, 232);
        p.step(233, [&] { throw std::out_of_range("row"); });
        p.step(234, [&] { ran.push_back(234); });
        p.exit(235);
        QCOMPARE(ran, std::vector<int>{234});
        QCOMPARE(prompter.prompts.front(), promptOf(9, "Subscript out of range", "frmMAIN", "SetStatus", 233));
    }

    // A failed condition goes on into the block under it, as "resume next" does.
    void ignoredConditionEntersItsBlock()
    {
        ScriptedPrompter prompter;
        ErrorTrap trap(prompter);
        Procedure p(trap, {"frmMAIN", "MSComm1_OnComm"}, 172);
        QVERIFY(p.test(180, []() -> bool { throw RuntimeError(8012, "The device is not open"); }));
        QVERIFY(!p.test(183, [] { return false; }));
        QCOMPARE(prompter.prompts.size(), size_t(1));
    }

    void standardExceptionsGetClassicNumbers()
    {
        QCOMPARE(toRuntimeError(std::make_exception_ptr(std::out_of_range("x"))).number(), 9);
        QCOMPARE(toRuntimeError(std::make_exception_ptr(std::bad_alloc())).number(), 7);
        QCOMPARE(toRuntimeError(std::make_exception_ptr(std::overflow_error("x"))).number(), 6);
        QCOMPARE(toRuntimeError(std::make_exception_ptr(std::invalid_argument("x"))).number(), 380);
        QCOMPARE(toRuntimeError(std::make_exception_ptr(std::bad_cast())).number(), 13);
        const RuntimeError own = toRuntimeError(std::make_exception_ptr(RuntimeError(8002, "Invalid port number")));
        QCOMPARE(own.number(), 8002);
        QCOMPARE(own.description(), std::string("Invalid port number"));
    }

    // An error in a called procedure is the callee's: its box names the callee, and after
    // Ignore the callee returns normally to its caller, whose trap sees nothing.
    void calleeReportsItsOwnErrors()
    {
        ScriptedPrompter prompter;
        ErrorTrap trap(prompter);
        bool callerWentOn = false;
        const auto comAvailable = [&] {
            Procedure p(trap, {"modDeclares", "COMAvailable"}, 1);
            p.step(5, [] { throw RuntimeError(5, "Invalid procedure call or argument"); });
            p.exit(12);
        };
        Procedure caller(trap, {"frmMAIN", "ListComPorts"}, 63);
        QCOMPARE(Procedure::current(), &caller);
        caller.step(67, comAvailable);
        caller.step(68, [&] { callerWentOn = true; });
        QVERIFY(callerWentOn);
        QCOMPARE(prompter.prompts,
                 std::vector<std::string>{
                     promptOf(5, "Invalid procedure call or argument", "modDeclares", "COMAvailable", 5)});
        QCOMPARE(Procedure::current(), &caller);
    }

    void resumeNextRecordsTheErrorWithoutABox()
    {
        ScriptedPrompter prompter;
        ErrorTrap trap(prompter);
        Procedure p(trap, {"frmMAIN", "cboComm_Change"}, 1);
        p.step(2, [&] { p.resumeNext(); });
        bool after = false;
        p.step(3, [] { throw RuntimeError(13, "Type mismatch"); });
        p.step(4, [&] { after = true; });
        QVERIFY(after);
        QVERIFY(p.lastError().has_value());
        QCOMPARE(p.lastError()->number(), 13);
        QVERIFY(prompter.prompts.empty());
    }

    void localHandlerLeavesTheBody()
    {
        ScriptedPrompter prompter;
        ErrorTrap trap(prompter);
        Procedure p(trap, {"frmMAIN", "cmdCOMStatus_Click"}, 105);
        p.step(106, [&] { p.localHandler(); });
        bool later = false;
        try {
            p.step(114, [] { throw RuntimeError(8005, "Port already open"); });
            later = true;
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), 8005);
        }
        QVERIFY(!later);
        QVERIFY(prompter.prompts.empty());
    }

    // Abort ends the process at once: nothing after the box runs, not even exit handlers.
    void abortEndsTheProgramAtOnce()
    {
        int out[2];
        QVERIFY(pipe(out) == 0);
        const pid_t child = fork();
        if (child == 0) {
            close(out[0]);
            ScriptedPrompter prompter;
            prompter.answers = {Answer::Abort};
            ErrorTrap trap(prompter);
            std::atexit([] { (void)!write(3, "atexit", 6); });
            dup2(out[1], 3);
            Procedure p(trap, {"frmMAIN", "Form_Load"}, 124);
            p.step(128, [] { throw RuntimeError(380, "Invalid property value"); });
            (void)!write(3, "went on", 7);
            std::exit(0);
        }
        close(out[1]);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        char buffer[32];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        close(out[0]);
        QCOMPARE(n, ssize_t(0));
        QVERIFY(WIFEXITED(status));
        QVERIFY(WEXITSTATUS(status) != 0);
    }
};

QTEST_GUILESS_MAIN(TestProcedure)
#include "tst_procedure.moc"
