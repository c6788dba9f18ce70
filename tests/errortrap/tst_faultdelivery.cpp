// Real processor faults, each in a child process of its own (faultchild.cpp): inside a trapped
// step they become that step's error box; anywhere else they end the process by their signal.
#include "childprocess.h"

#include <QtTest>

namespace {

QByteArray box(const char *name, const char *location, int line)
{
    return QByteArray("prompt Error 65535\\r\\n") + name + "\\r\\nLocation: VANTOR." + location + "\\r\\nLine "
        + QByteArray::number(line);
}

} // namespace

class TestFaultDelivery : public QObject
{
    Q_OBJECT

private slots:
    void faultInAStepIsItsBox_data();
    void faultInAStepIsItsBox();
    void retryRunsTheFaultingStepAgain();
    void everyFaultGetsItsOwnBox();
    void calledProcedureReportsAndItsStepIsCleanedUp();
    void faultInACalleesBodyFailsTheCallersStep_data();
    void faultInACalleesBodyFailsTheCallersStep();
    void resumeNextRecordsTheFault();
    void faultElsewhereEndsTheProcess_data();
    void faultElsewhereEndsTheProcess();
    void secondStartUpDoesNothing();
    void filterGoesInBeforeAnythingElse();
};

void TestFaultDelivery::faultInAStepIsItsBox_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("null-pointer write") << QByteArray("null-write")
                                        << QList<QByteArray>{
                                               "before",
                                               box("Exception: Access Violation", "modDeclares.GetAvailablePorts", 15),
                                               "after", "finished"};
    QTest::newRow("integer division by zero")
        << QByteArray("divide")
        << QList<QByteArray>{box("Exception: Integer Divide By Zero", "frmMAIN.FIREME", 257), "after", "finished"};
    QTest::newRow("illegal instruction") << QByteArray("illegal")
                                         << QList<QByteArray>{
                                                box("Exception: Illegal Instruction", "frmMAIN.MSComm1_OnComm", 173),
                                                "after", "finished"};
    QTest::newRow("runaway recursion") << QByteArray("overflow")
                                       << QList<QByteArray>{box("Exception: Stack Overflow", "frmMAIN.Form_Load", 125),
                                                            "after", "finished"};
    // Faults that g++ believes cannot happen, where a throw may not pass: the box all the same.
    QTest::newRow("trap instruction in the step itself")
        << QByteArray("trap-inline")
        << QList<QByteArray>{box("Exception: Illegal Instruction", "frmMAIN.cmdCASPAR_Click", 101), "after",
                             "finished"};
    QTest::newRow("fault in noexcept code")
        << QByteArray("noexcept")
        << QList<QByteArray>{box("Exception: Access Violation", "frmMAIN.SetStatus", 233), "after", "finished"};
    QTest::newRow("fault in a C library function that holds nothing")
        << QByteArray("library-leaf")
        << QList<QByteArray>{box("Exception: Access Violation", "modDeclares.LPSTRtoSTRING", 48), "after", "finished"};
    QTest::newRow("fault in code built without fault unwinding")
        << QByteArray("foreign")
        << QList<QByteArray>{box("Exception: Access Violation", "frmMAIN.FIREME", 257), "after", "finished"};
}

// One box, with the step's location and line; Ignore goes on with the next step; exit 0.
void TestFaultDelivery::faultInAStepIsItsBox()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QList<QByteArray>, lines);
    ChildProcess child(FAULT_CHILD, {scenario.toStdString()});
    QVERIFY(child.started());
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    QCOMPARE(child.outLines(), lines);
}

void TestFaultDelivery::retryRunsTheFaultingStepAgain()
{
    ChildProcess child(FAULT_CHILD, {"retry"});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    const QList<QByteArray> lines{"attempt 1", box("Exception: Access Violation", "frmMAIN.FIREME", 260), "attempt 2",
                                  "after", "finished"};
    QCOMPARE(child.outLines(), lines);
}

// After a delivered fault nothing stays blocked or marked as "being handled".
void TestFaultDelivery::everyFaultGetsItsOwnBox()
{
    ChildProcess child(FAULT_CHILD, {"repeat"});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    const QList<QByteArray> lines{box("Exception: Access Violation", "frmMAIN.FIREME", 257),
                                  box("Exception: Integer Divide By Zero", "frmMAIN.FIREME", 258),
                                  box("Exception: Access Violation", "frmMAIN.FIREME", 259), "after", "finished"};
    QCOMPARE(child.outLines(), lines);
}

// The callee's box, the faulting step's locals destroyed before it, the caller current again.
void TestFaultDelivery::calledProcedureReportsAndItsStepIsCleanedUp()
{
    ChildProcess child(FAULT_CHILD, {"nested"});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    const QList<QByteArray> lines{"released", box("Exception: Access Violation", "modDeclares.COMAvailable", 5),
                                  "callee went on", "caller current", "finished"};
    QCOMPARE(child.outLines(), lines);
}

// A fault in a called procedure's own lines, outside its steps, fails the caller's running step;
// the callee is off the chain of running procedures whether its destructor ran or not.
void TestFaultDelivery::faultInACalleesBodyFailsTheCallersStep_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("memory fault") << QByteArray("callee-body") << QByteArray("Exception: Access Violation");
    QTest::newRow("trap, its destructor dropped by the compiler")
        << QByteArray("callee-body-trap") << QByteArray("Exception: Illegal Instruction");
    QTest::newRow("in noexcept code") << QByteArray("callee-body-noexcept")
                                      << QByteArray("Exception: Access Violation");
}

void TestFaultDelivery::faultInACalleesBodyFailsTheCallersStep()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QByteArray, name);
    ChildProcess child(FAULT_CHILD, {scenario.toStdString()});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    const QList<QByteArray> lines{box(name.constData(), "frmMAIN.ListComPorts", 61), "caller current", "finished"};
    QCOMPARE(child.outLines(), lines);
}

void TestFaultDelivery::resumeNextRecordsTheFault()
{
    ChildProcess child(FAULT_CHILD, {"resume-next"});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    QCOMPARE(child.outLines(), (QList<QByteArray>{"recorded", "finished"}));
}

void TestFaultDelivery::faultElsewhereEndsTheProcess_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("why");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("no procedure running")
        << QByteArray("outside") << SIGSEGV << QByteArray("outside any trapped step") << QList<QByteArray>{};
    QTest::newRow("between two steps") << QByteArray("between-steps") << SIGSEGV
                                       << QByteArray("outside any trapped step") << QList<QByteArray>{"before"};
    QTest::newRow("while the box is open")
        << QByteArray("second-fault") << SIGSEGV << QByteArray("while an earlier fault was being handled")
        << QList<QByteArray>{box("Exception: Access Violation", "frmMAIN.FIREME", 257)};
    QTest::newRow("another thread") << QByteArray("other-thread") << SIGSEGV
                                    << QByteArray("outside the user-interface thread") << QList<QByteArray>{};
    QTest::newRow("sent, not raised") << QByteArray("sent") << SIGSEGV
                                      << QByteArray("sent by a process, not raised by an instruction")
                                      << QList<QByteArray>{};
    // Its lock would stay held, and the next step would hang in it.
    QTest::newRow("in a library that holds a lock")
        << QByteArray("library-lock") << SIGSEGV << QByteArray("not the program's own") << QList<QByteArray>{};
    // Not thrown out through the box's event loop to the step that opened the box.
    QTest::newRow("in a handler while a box of a step shows")
        << QByteArray("handler-under-box") << SIGSEGV << QByteArray("not the program's own")
        << QList<QByteArray>{"handler"};
}

// Not swallowed: the fault's name and a backtrace on standard error, then death by the signal.
void TestFaultDelivery::faultElsewhereEndsTheProcess()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, signal);
    QFETCH(QByteArray, why);
    QFETCH(QList<QByteArray>, lines);
    ChildProcess child(FAULT_CHILD, {scenario.toStdString()});
    child.waitForEnd();
    QVERIFY2(child.killedBy(signal), child.describe().constData());
    QCOMPARE(child.outLines(), lines);
    const QByteArray err = child.err();
    QVERIFY2(err.contains("VANTOR: Exception: Access Violation (signal 11"), err.constData());
    QVERIFY2(err.contains(why), err.constData());
    QVERIFY2(err.contains("faultchild("), err.constData()); // a backtrace line of the child's own code
}

void TestFaultDelivery::secondStartUpDoesNothing()
{
    ChildProcess child(FAULT_CHILD, {"once"});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    QCOMPARE(child.outLines(), QList<QByteArray>{"kept"});
}

// The program installs the filter first, before the command line, the ports or the window.
void TestFaultDelivery::filterGoesInBeforeAnythingElse()
{
    ChildProcess child(CLOSE_CHILD, {"start-up-order"});
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    QVERIFY2(child.out().endsWith("fault filter installed\n"), child.describe().constData());
}

QTEST_GUILESS_MAIN(TestFaultDelivery)
#include "tst_faultdelivery.moc"
