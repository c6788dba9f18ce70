// Faults under Wine, each in a child process of its own (faultchild.cpp): inside a trapped step
// they become that step's error box, through the vectored handler or, without it, through the
// unhandled-exception filter alone (on a thread without the C runtime's start-up handler);
// anywhere else they end the program with their name.
#include "errortrap/exceptionfilter.h"

#include <QByteArray>
#include <QProcess>
#include <QTest>

namespace {

constexpr int Patience = 60000; // ms, for Wine on a busy machine

// One child process, waited for, its output caught.
struct Run
{
    QList<QByteArray> out;
    QByteArray err;
    quint32 status = 0;
    bool ended = false;
};

Run runChild(const QStringList &arguments)
{
    QProcess child;
    child.start(QCoreApplication::applicationDirPath() + QStringLiteral("/faultchild.exe"), arguments);
    Run run;
    run.ended = child.waitForFinished(Patience);
    if (!run.ended)
        child.kill();
    run.status = quint32(child.exitCode());
    for (const QByteArray &line : child.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty())
            run.out << line.trimmed();
    run.err = child.readAllStandardError();
    return run;
}

// A box as the child writes it: one line, CR and LF spelled out.
QByteArray box(const char *name, const char *location, int line)
{
    return QByteArray("prompt Error 65535\\r\\n") + name + "\\r\\nLocation: VANTOR." + location + "\\r\\nLine "
        + QByteArray::number(line);
}

QByteArray describe(const Run &run)
{
    return "status 0x" + QByteArray::number(quint32(run.status), 16) + ", output:\n" + run.out.join('\n')
        + "\nstandard error:\n" + run.err;
}

} // namespace

class TestWinFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each code raised in a step (RaiseException) gives its box: the number 65535, the code's
    // name, the step's location and line. Ignore goes on with the next step.
    void everyCodeGivesItsBox_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("codes");
        QTest::newRow("vectored handler") << QStringList{"table"} << 26;
        // Wine ends the process on 0xC000013A before the filter is asked: one code less.
        QTest::newRow("unhandled-exception filter alone, on a thread of the system")
            << QStringList{"table", "-filter"} << 25;
    }
    void everyCodeGivesItsBox()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, codes);
        const Run run = runChild(arguments);
        QVERIFY2(run.ended && run.status == 0, describe(run).constData());
        QList<QByteArray> expected;
        QStringList table;
        int line = 1000;
        for (const QByteArray &out : run.out) {
            if (!out.startsWith("code "))
                continue;
            const quint32 code = out.mid(7).toUInt(nullptr, 16);
            expected << out << box(vantor::vbwExceptionName(code), "frmMAIN.FIREME", line++);
            table << QStringLiteral("0x%1  %2")
                         .arg(code, 8, 16, QLatin1Char('0'))
                         .arg(QString::fromLatin1(expected.last()));
        }
        QCOMPARE(expected.size(), 2 * codes);
        expected << "after"
                 << "finished";
        QCOMPARE(run.out, expected);
        qInfo().noquote() << "checked, through the" << QTest::currentDataTag() << ":\n" + table.join('\n');
    }

    void faultInAStepIsItsBox_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("null-pointer write: thrown, the step's locals released")
            << "null-write"
            << QList<QByteArray>{"released", box("Exception: Access Violation", "modDeclares.GetAvailablePorts", 15),
                                 "after", "finished"};
        QTest::newRow("fault in noexcept code: the jump back")
            << "noexcept"
            << QList<QByteArray>{box("Exception: Access Violation", "frmMAIN.SetStatus", 233), "after", "finished"};
        QTest::newRow("fault in a C library leaf")
            << "library-leaf"
            << QList<QByteArray>{box("Exception: Access Violation", "modDeclares.LPSTRtoSTRING", 48), "after",
                                 "finished"};
        QTest::newRow("nested records: the last one is named")
            << "nested-records"
            << QList<QByteArray>{box("Exception: Integer Divide By Zero", "vbwProtector.vbwHandleException", 372),
                                 "after", "finished"};
        QTest::newRow("retry runs the faulting step again")
            << "retry"
            << QList<QByteArray>{"attempt 1", box("Exception: Access Violation", "frmMAIN.FIREME", 260), "attempt 2",
                                 "after", "finished"};
    }
    void faultInAStepIsItsBox()
    {
        QFETCH(QString, scenario);
        QFETCH(QList<QByteArray>, lines);
        const Run run = runChild({scenario});
        QVERIFY2(run.ended && run.status == 0, describe(run).constData());
        QCOMPARE(run.out, lines);
    }

    // Ends with the fault's code, its name and why on standard error; no box, no "finished".
    void faultElsewhereEndsTheProgram_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QByteArray>("why");
        QTest::newRow("outside any step") << "outside" << QByteArray("outside any trapped step");
        QTest::newRow("on another thread") << "other-thread" << QByteArray("outside the user-interface thread");
        QTest::newRow("in a library's code") << "foreign" << QByteArray("in code that is not the program's own");
    }
    void faultElsewhereEndsTheProgram()
    {
        QFETCH(QString, scenario);
        QFETCH(QByteArray, why);
        const Run run = runChild({scenario});
        QVERIFY2(run.ended && run.status == 0xC0000005, describe(run).constData());
        QVERIFY2(run.err.startsWith("VANTOR: Exception: Access Violation (code 0xC0000005, address "),
                 describe(run).constData());
        QVERIFY2(run.err.contains(why) && run.err.endsWith("; ending.\n"), describe(run).constData());
        for (const QByteArray &line : run.out)
            QVERIFY2(!line.startsWith("prompt") && line != "finished", describe(run).constData());
    }
};

QTEST_GUILESS_MAIN(TestWinFaults)
#include "tst_winfaults.moc"
