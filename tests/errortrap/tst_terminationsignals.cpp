// SIGTERM and SIGINT close the window as its close button does (closechild.cpp runs it).
#include "childprocess.h"

#include <QtTest>

class TestTerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void closesTheWindowNormally_data();
    void closesTheWindowNormally();
    void secondSignalEndsAHungProgram();
    void signalDuringTheStartUpBoxEndsTheProgram_data() { closesTheWindowNormally_data(); }
    void signalDuringTheStartUpBoxEndsTheProgram();
};

void TestTerminationSignals::closesTheWindowNormally_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void TestTerminationSignals::closesTheWindowNormally()
{
    QFETCH(int, signal);
    ChildProcess child(CLOSE_CHILD, {});
    QVERIFY2(child.waitForOutput("ready", 20000), child.describe().constData());
    child.signal(signal);
    child.waitForEnd();
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    QCOMPARE(child.outLines(), (QList<QByteArray>{"ready", "close event", "event loop ended"}));
}

void TestTerminationSignals::secondSignalEndsAHungProgram()
{
    ChildProcess child(CLOSE_CHILD, {"hang"});
    QVERIFY2(child.waitForOutput("ready", 20000), child.describe().constData());
    child.signal(SIGTERM);
    QTest::qWait(100);
    child.signal(SIGTERM);
    child.waitForEnd(10000);
    QVERIFY2(child.killedBy(SIGTERM), child.describe().constData());
    QCOMPARE(child.outLines(), QList<QByteArray>{"ready"});
}

// Before the main event loop runs, closing cannot end it: the box goes, the program ends as a
// close would, once what is queued for the files is written, and nothing runs on without a window.
void TestTerminationSignals::signalDuringTheStartUpBoxEndsTheProgram()
{
    QFETCH(int, signal);
    ChildProcess child(CLOSE_CHILD, {"start-up-box"});
    QVERIFY2(child.waitForOutput("ready", 20000), child.describe().constData());
    child.signal(signal);
    child.waitForEnd(10000);
    QVERIFY2(child.exitedWith(0), child.describe().constData());
    QCOMPARE(child.outLines(), (QList<QByteArray>{"ready", "close event", "queued lines written"}));
}

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
