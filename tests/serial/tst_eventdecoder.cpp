// Event decoding on its own: where its trap reports a failure, and what going on after one does.
#include "fakeserialportservice.h"
#include "scriptedprompter.h"

#include "serial/eventdecoder.h"

#include <QTest>

using namespace vantor;
using namespace vantor::serial;

namespace {
struct Decoder
{
    FakeSerialPortService port;
    ScriptedPrompter prompter;
    ErrorTrap trap{prompter};
    QSet<int> armed;
    int failArmed = -1;  // the slot whose armed test fails,
    int failures = 1000; // this many times
    bool failFire = false;
    bool failLog = false;
    QList<int> fired;
    QStringList logged;
    EventDecoder decoder{trap, port,
                         EventDecoder::Controls{[this](int slot) {
                                                    if (slot == failArmed && failures-- > 0)
                                                        throw RuntimeError(340, "Control array element does not exist");
                                                    return armed.contains(slot);
                                                },
                                                [this](qint16 slot) {
                                                    if (failFire)
                                                        throw RuntimeError(40006, "Wrong protocol or connection state");
                                                    fired << slot;
                                                },
                                                [this](const QString &m) {
                                                    if (failLog)
                                                        throw std::bad_alloc();
                                                    logged << m;
                                                }}};

    Decoder()
    {
        port.setDebounce(std::chrono::microseconds(0));
        QObject::connect(&port, &SerialPortService::onComm, [this] { decoder.MSComm1_OnComm(); });
        port.setPortOpen(true);
    }
    QString lastPromptTail() const
    {
        const QString prompt = QString::fromStdString(prompter.prompts.back());
        return prompt.section("\r\n", 2);
    }
};
} // namespace

class TestEventDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Going on after a failed slot test runs the statement after it: the slot's firing.
    void failedSlotTestFiresOnIgnore()
    {
        Decoder d;
        d.failArmed = 1;
        d.port.changeCts(true);
        QTRY_COMPARE(d.logged.size(), 1);
        QCOMPARE(d.lastPromptTail(), QStringLiteral("Location: VANTOR.frmMAIN.MSComm1_OnComm\r\nLine 183"));
        QCOMPARE(d.fired, QList<int>{1});
        QCOMPARE(d.logged, QStringList{"CTS change to : ON"});
        d.failArmed = 3;
        d.port.changeDsr(false);
        QTRY_COMPARE(d.logged.size(), 2);
        QCOMPARE(d.lastPromptTail(), QStringLiteral("Location: VANTOR.frmMAIN.MSComm1_OnComm\r\nLine 191"));
    }

    void failuresAreReportedAtTheirLines()
    {
        Decoder d;
        d.armed = {2, 5};
        d.failFire = true;
        d.port.changeCts(false);
        d.port.changeDsr(true);
        QTRY_COMPARE(d.logged.size(), 2);
        QCOMPARE(d.prompter.prompts.size(), size_t(2));
        QCOMPARE(QString::fromStdString(d.prompter.prompts[0]).section("\r\n", 3), QStringLiteral("Line 187"));
        QCOMPARE(QString::fromStdString(d.prompter.prompts[1]).section("\r\n", 3), QStringLiteral("Line 198"));
        d.failLog = true;
        d.port.raise(comm::Ring);
        QTRY_COMPARE(d.prompter.prompts.size(), size_t(3));
        QCOMPARE(QString::fromStdString(d.prompter.prompts[2]),
                 QStringLiteral("Error 7\r\nOut of memory\r\nLocation: VANTOR.frmMAIN.MSComm1_OnComm\r\nLine 230"));
    }

    // Retry on a failing slot test reads the slot again; the answer decides whether it fires.
    void retryTestsTheSlotAgain()
    {
        Decoder d;
        d.armed = {0};
        d.failArmed = 0;
        d.failures = 1;
        d.prompter.answers = {Answer::Retry};
        d.port.changeCts(true);
        QTRY_COMPARE(d.logged.size(), 1);
        QCOMPARE(d.fired, QList<int>{0});
        QCOMPARE(d.prompter.prompts.size(), size_t(1));
    }
};

QTEST_MAIN(TestEventDecoder)
#include "tst_eventdecoder.moc"
