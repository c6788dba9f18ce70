// The fault filter's pure parts: the name table, the walk along nested records, and the mapping
// of a signal and its si_code onto the status codes.
#include "errortrap/exceptionfilter.h"

#include <QtTest>

#include <csignal>

using namespace vantor;

class TestExceptionFilter : public QObject
{
    Q_OBJECT

private slots:
    void namesEveryCodeOfTheTable_data();
    void namesEveryCodeOfTheTable();
    void walksNestedRecordsToTheLast();
    void mapsSignalsOntoCodes_data();
    void mapsSignalsOntoCodes();
    void tellsStackOverflowFromAWildAddress_data();
    void tellsStackOverflowFromAWildAddress();
};

void TestExceptionFilter::namesEveryCodeOfTheTable_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("guard page") << 0x80000001u << "Exception: Guard Page";
    QTest::newRow("misalignment") << 0x80000002u << "Exception: Datatype Misalignment";
    QTest::newRow("breakpoint") << 0x80000003u << "Exception: Breakpoint";
    QTest::newRow("single step") << 0x80000004u << "Exception: Single Step";
    QTest::newRow("access violation") << 0xC0000005u << "Exception: Access Violation";
    QTest::newRow("in page") << 0xC0000006u << "Exception: In Page Error";
    QTest::newRow("invalid handle") << 0xC0000008u << "Exception: Invalid Handle";
    QTest::newRow("illegal instruction") << 0xC000001Du << "Exception: Illegal Instruction";
    QTest::newRow("non continuable") << 0xC0000025u << "Exception: Non Continuable Exception";
    QTest::newRow("invalid disposition") << 0xC0000026u << "Exception: Invalid Disposition";
    QTest::newRow("array bounds") << 0xC000008Cu << "Exception: Array Bounds Exceeded";
    QTest::newRow("float denormal") << 0xC000008Du << "Exception: Float Denormal Operand";
    QTest::newRow("float divide") << 0xC000008Eu << "Exception: Float Divide By Zero";
    QTest::newRow("float inexact") << 0xC000008Fu << "Exception: Float Inexact Result";
    QTest::newRow("float invalid") << 0xC0000090u << "Exception: Float Invalid Operation";
    QTest::newRow("float overflow") << 0xC0000091u << "Exception: Float Overflow";
    QTest::newRow("float stack") << 0xC0000092u << "Exception: Float Stack Check";
    QTest::newRow("float underflow") << 0xC0000093u << "Exception: Float Underflow";
    QTest::newRow("integer divide") << 0xC0000094u << "Exception: Integer Divide By Zero";
    QTest::newRow("integer overflow") << 0xC0000095u << "Exception: Integer Overflow";
    QTest::newRow("privileged") << 0xC0000096u << "Exception: Priv Instruction";
    QTest::newRow("stack overflow") << 0xC00000FDu << "Exception: Stack Overflow";
    QTest::newRow("control c") << 0xC000013Au << "Exception: Control C Exit";
    QTest::newRow("between two codes") << 0xC0000007u << "Unknown Exception";
    QTest::newRow("next to the last") << 0xC000013Bu << "Unknown Exception";
    QTest::newRow("below the first") << 0x80000000u << "Unknown Exception";
    QTest::newRow("zero") << 0u << "Unknown Exception";
    QTest::newRow("all ones") << 0xFFFFFFFFu << "Unknown Exception";
    QTest::newRow("high bit of a listed code cleared") << 0x40000005u << "Unknown Exception";
}

void TestExceptionFilter::namesEveryCodeOfTheTable()
{
    QFETCH(quint32, code);
    QFETCH(QString, name);
    QCOMPARE(QString::fromLatin1(vbwExceptionName(code)), name);
}

void TestExceptionFilter::walksNestedRecordsToTheLast()
{
    const FaultRecord last{faultcodes::IntegerDivideByZero, nullptr};
    const FaultRecord middle{faultcodes::AccessViolation, &last};
    const FaultRecord first{faultcodes::Breakpoint, &middle};

    const FilterVerdict chained = vbwExceptionFilter({&first, nullptr});
    QCOMPARE(chained.result, -1);
    QCOMPARE(chained.code, faultcodes::IntegerDivideByZero);
    QCOMPARE(QString::fromLatin1(chained.name), QStringLiteral("Exception: Integer Divide By Zero"));

    const FilterVerdict single = vbwExceptionFilter({&middle, nullptr});
    QCOMPARE(single.code, faultcodes::IntegerDivideByZero);
    const FilterVerdict alone = vbwExceptionFilter({&last, nullptr});
    QCOMPARE(QString::fromLatin1(alone.name), QStringLiteral("Exception: Integer Divide By Zero"));

    const FaultRecord unknown{0xC0000007u, nullptr};
    const FaultRecord wrapping{faultcodes::StackOverflow, &unknown};
    QCOMPARE(QString::fromLatin1(vbwExceptionFilter({&wrapping, nullptr}).name), QStringLiteral("Unknown Exception"));
}

void TestExceptionFilter::mapsSignalsOntoCodes_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("signalCode");
    QTest::addColumn<quint32>("code");
    QTest::newRow("SEGV unmapped") << SIGSEGV << int(SEGV_MAPERR) << faultcodes::AccessViolation;
    QTest::newRow("SEGV protection") << SIGSEGV << int(SEGV_ACCERR) << faultcodes::AccessViolation;
    QTest::newRow("SEGV general protection") << SIGSEGV << int(SI_KERNEL) << faultcodes::AccessViolation;
    QTest::newRow("SEGV bounds") << SIGSEGV << int(SEGV_BNDERR) << faultcodes::ArrayBoundsExceeded;
    QTest::newRow("FPE int divide") << SIGFPE << int(FPE_INTDIV) << faultcodes::IntegerDivideByZero;
    QTest::newRow("FPE int overflow") << SIGFPE << int(FPE_INTOVF) << faultcodes::IntegerOverflow;
    QTest::newRow("FPE float divide") << SIGFPE << int(FPE_FLTDIV) << faultcodes::FloatDivideByZero;
    QTest::newRow("FPE float overflow") << SIGFPE << int(FPE_FLTOVF) << faultcodes::FloatOverflow;
    QTest::newRow("FPE float underflow") << SIGFPE << int(FPE_FLTUND) << faultcodes::FloatUnderflow;
    QTest::newRow("FPE float inexact") << SIGFPE << int(FPE_FLTRES) << faultcodes::FloatInexactResult;
    QTest::newRow("FPE float invalid") << SIGFPE << int(FPE_FLTINV) << faultcodes::FloatInvalidOperation;
    QTest::newRow("FPE subscript") << SIGFPE << int(FPE_FLTSUB) << faultcodes::ArrayBoundsExceeded;
    QTest::newRow("FPE undiagnosed") << SIGFPE << int(FPE_FLTUNK) << faultcodes::FloatInvalidOperation;
    QTest::newRow("ILL privileged") << SIGILL << int(ILL_PRVOPC) << faultcodes::PrivilegedInstruction;
    QTest::newRow("ILL opcode") << SIGILL << int(ILL_ILLOPC) << faultcodes::IllegalInstruction;
    QTest::newRow("ILL operand (ud2)") << SIGILL << int(ILL_ILLOPN) << faultcodes::IllegalInstruction;
    QTest::newRow("ILL privileged register") << SIGILL << int(ILL_PRVREG) << faultcodes::IllegalInstruction;
    QTest::newRow("BUS alignment") << SIGBUS << int(BUS_ADRALN) << faultcodes::DatatypeMisalignment;
    QTest::newRow("BUS address") << SIGBUS << int(BUS_ADRERR) << faultcodes::InPageError;
    QTest::newRow("BUS object") << SIGBUS << int(BUS_OBJERR) << faultcodes::InPageError;
    QTest::newRow("TRAP breakpoint") << SIGTRAP << int(TRAP_BRKPT) << faultcodes::Breakpoint;
    QTest::newRow("TRAP int3") << SIGTRAP << int(SI_KERNEL) << faultcodes::Breakpoint;
    QTest::newRow("TRAP trace") << SIGTRAP << int(TRAP_TRACE) << faultcodes::SingleStep;
}

void TestExceptionFilter::mapsSignalsOntoCodes()
{
    QFETCH(int, signal);
    QFETCH(int, signalCode);
    QFETCH(quint32, code);
    // An address far from the stack: only SIGSEGV looks at it, and must not call it an overflow.
    const StackBounds stack{0x7ff000000000u, 0x7ff000800000u};
    QCOMPARE(faultCode(signal, signalCode, 0x10, 0x7ff000700000u, stack), code);
}

void TestExceptionFilter::tellsStackOverflowFromAWildAddress_data()
{
    const quintptr low = 0x7ff000000000u;
    const quintptr high = low + (8u << 20);
    QTest::addColumn<quintptr>("address");
    QTest::addColumn<quintptr>("stackPointer");
    QTest::addColumn<quintptr>("low");
    QTest::addColumn<quintptr>("high");
    QTest::addColumn<bool>("overflow");
    QTest::newRow("null, stack pointer mid-stack") << quintptr(0) << low + (4u << 20) << low << high << false;
    QTest::newRow("wild heap address") << quintptr(0x5555aaaa0000u) << low + 4096 << low << high << false;
    QTest::newRow("push just under the limit") << low - 8 << low << low << high << true;
    QTest::newRow("large frame's store under the limit") << low - 3000 << low - 3000 << low << high << true;
    QTest::newRow("in the guard gap, pointer unknown") << low - 4096 << quintptr(0) << low << high << true;
    QTest::newRow("under the guard gap") << low - (2u << 20) << low + (4u << 20) << low << high << false;
    QTest::newRow("another thread: next to its pointer")
        << quintptr(0x7f0000100ff8u) << quintptr(0x7f0000101000u) << quintptr(0) << quintptr(0) << true;
    QTest::newRow("another thread: far from its pointer")
        << quintptr(0x7f0000100ff8u) << quintptr(0x7f0000901000u) << quintptr(0) << quintptr(0) << false;
}

void TestExceptionFilter::tellsStackOverflowFromAWildAddress()
{
    QFETCH(quintptr, address);
    QFETCH(quintptr, stackPointer);
    QFETCH(quintptr, low);
    QFETCH(quintptr, high);
    QFETCH(bool, overflow);
    const StackBounds stack{low, high};
    QCOMPARE(isStackOverflow(address, stackPointer, stack), overflow);
    QCOMPARE(faultCode(SIGSEGV, SEGV_MAPERR, address, stackPointer, stack),
             overflow ? faultcodes::StackOverflow : faultcodes::AccessViolation);
}

QTEST_APPLESS_MAIN(TestExceptionFilter)
#include "tst_exceptionfilter.moc"
