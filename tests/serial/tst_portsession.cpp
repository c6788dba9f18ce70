// The port session and the command console, through the window, against the fake port.
#include "logmessages.h"
#include "windowfixture.h"

#include "app/window/lamp.h"
#include "serial/commandconsole.h"
#include "serial/service/commevent.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace vantor;

namespace {
struct Session
{
    WindowFixture f;
    QComboBox *ports = f.w().findChild<QComboBox *>("cboComm");
    QPushButton *toggle = f.w().findChild<QPushButton *>("cmdCOMStatus");
    QPushButton *discover = f.w().findChild<QPushButton *>("cmdGetComPorts");
    app::Lamp *lamp = f.w().findChild<app::Lamp *>("shpCOMSTATUS");

    Session() { f.w().portLog().clear(); }
    // The keyboard in the port box, as when the operator types into it.
    void focusPorts()
    {
        f.w().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.w()));
        ports->setFocus();
        QTRY_VERIFY(ports->lineEdit()->hasFocus());
    }
    QStringList log() const { return logMessages(f.window->portLog()); }
    bool showsOpen() const
    {
        return toggle->text() == "Close COM Port" && lamp->fillColor() == 65280 && !discover->isEnabled();
    }
    bool showsClosed() const
    {
        return toggle->text() == "Open COM Port" && lamp->fillColor() == 255 && discover->isEnabled();
    }
};
} // namespace

class TestPortSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typedDigitsChangeThePortOneAtATime()
    {
        Session s;
        s.ports->lineEdit()->clear();
        QTest::keyClicks(s.ports->lineEdit(), "12");
        QCOMPARE(s.f.port.commPort(), qint16(12));
        QCOMPARE(s.log(), (QStringList{"Changed to Com Port 1", "Changed to Com Port 12"}));
    }

    void badNumbersAreErrorLinesAndKeepThePort()
    {
        Session s;
        QTest::keyClick(s.ports->lineEdit(), Qt::Key_Backspace); // "1" -> ""
        QTest::keyClicks(s.ports->lineEdit(), "x");
        s.ports->lineEdit()->setText("40000");
        Q_EMIT s.ports->lineEdit()->textEdited("40000");
        s.ports->lineEdit()->setText(" 2.5 ");
        Q_EMIT s.ports->lineEdit()->textEdited(" 2.5 ");
        QCOMPARE(s.log(),
                 (QStringList{"***Err 13. Type mismatch", "***Err 13. Type mismatch", "***Err 6. Overflow",
                              "Changed to Com Port  2.5 "}));
        QCOMPARE(s.f.port.commPort(), qint16(2)); // 2.5 rounds half to even
        QVERIFY(s.f.prompter.prompts.empty());
    }

    void choosingAnEntryIsLikeTypingIt()
    {
        Session s;
        s.ports->setCurrentIndex(1);
        Q_EMIT s.ports->activated(1);
        QCOMPARE(s.f.port.commPort(), qint16(3));
        QCOMPARE(s.log(), QStringList{"Changed to Com Port 3"});
    }

    // The box never shows a number other than the one in use: no inline completion.
    void typedTextIsNotCompleted()
    {
        Session s;
        s.ports->removeItem(0); // ports 3 and 10 listed
        s.ports->addItem("10");
        s.focusPorts();
        s.ports->lineEdit()->clear();
        QTest::keyClicks(s.ports->lineEdit(), "1");
        QCOMPARE(s.ports->currentText(), QStringLiteral("1"));
        QCOMPARE(s.f.port.commPort(), qint16(1));
    }

    // Enter and leaving the box choose nothing: one line per typed number, one error while open.
    void enterAndLeavingTheBoxDoNotChooseAgain()
    {
        Session s;
        s.focusPorts();
        s.ports->lineEdit()->clear();
        QTest::keyClicks(s.ports->lineEdit(), "3");
        QTest::keyClick(s.ports->lineEdit(), Qt::Key_Return);
        s.toggle->setFocus();
        QTRY_VERIFY(!s.ports->lineEdit()->hasFocus());
        QCOMPARE(s.log(), QStringList{"Changed to Com Port 3"});

        QTest::mouseClick(s.toggle, Qt::LeftButton);
        s.focusPorts();
        s.ports->lineEdit()->clear();
        QTest::keyClicks(s.ports->lineEdit(), "1");
        QTest::keyClick(s.ports->lineEdit(), Qt::Key_Enter);
        s.toggle->setFocus();
        QTRY_VERIFY(!s.ports->lineEdit()->hasFocus());
        QCOMPARE(s.log(),
                 (QStringList{"Changed to Com Port 3", "Opening COM Port 3", "***Err 8005. Port already open"}));
    }

    void openAndCloseFollowTheCaption()
    {
        Session s;
        s.f.w().findChild<QComboBox *>("cboBaubRate")->setCurrentText("19200");
        QTest::mouseClick(s.toggle, Qt::LeftButton);
        QVERIFY(s.f.port.portOpen());
        QVERIFY(s.showsOpen());
        // The settings lists are applied when the port opens.
        QCOMPARE(s.f.port.settings(), QStringLiteral("19200,N,8,1"));
        // While open, another number is refused and the port keeps its own.
        s.ports->lineEdit()->setText("3");
        Q_EMIT s.ports->lineEdit()->textEdited("3");
        QCOMPARE(s.f.port.commPort(), qint16(1));
        QTest::mouseClick(s.toggle, Qt::LeftButton);
        QVERIFY(!s.f.port.portOpen());
        QVERIFY(s.showsClosed());
        QCOMPARE(s.log(), (QStringList{"Opening COM Port 1", "***Err 8005. Port already open", "Closing COM Port 1"}));
    }

    void failedOpenKeepsTheClosedState()
    {
        Session s;
        s.f.port.openError = 8002;
        QTest::mouseClick(s.toggle, Qt::LeftButton);
        QVERIFY(s.showsClosed());
        QCOMPARE(s.log(), (QStringList{"Opening COM Port 1", "***Err 8002. Scripted open failure"}));
        QVERIFY(s.f.prompter.prompts.empty());
    }

    // A port that goes away while open (adapter pulled) shows the session closed again.
    void lostPortShowsClosed()
    {
        Session s;
        QTest::mouseClick(s.toggle, Qt::LeftButton);
        QVERIFY(s.showsOpen());
        s.f.port.lose(5, "Input/output error: /dev/ttyUSB0");
        QTRY_VERIFY(s.showsClosed());
        QVERIFY(!s.f.port.portOpen());
        QCOMPARE(s.log().last(), QStringLiteral("***Err 5. Input/output error: /dev/ttyUSB0"));
        // And it opens again with one click.
        QTest::mouseClick(s.toggle, Qt::LeftButton);
        QVERIFY(s.showsOpen());
    }

    void consoleOpensThePortAndSendsTheCommand()
    {
        Session s;
        s.f.w().console().cmdGetInfo_Click(); // the button is hidden and disabled
        QCOMPARE(s.log(), (QStringList{"Opening COM Port 1", "Sending AT command..."}));
        QVERIFY(s.showsOpen());
        QCOMPARE(s.f.port.written, QByteArray("AT\r"));
        auto *command = s.f.w().findChild<QComboBox *>("cboCommand");
        command->setEditText("");
        s.f.w().console().cmdGetInfo_Click(); // the button is hidden and disabled
        QCOMPARE(s.log().last(), QStringLiteral("Sending  command..."));
        QCOMPARE(s.f.port.written, QByteArray("AT\r\r"));
    }

    void consoleReportsAPortThatWillNotOpen()
    {
        Session s;
        s.f.port.openError = 8002;
        s.f.w().console().cmdGetInfo_Click(); // the button is hidden and disabled
        QCOMPARE(s.log(),
                 (QStringList{"Opening COM Port 1", "***Err 8002. Scripted open failure", "Sending AT command...",
                              "***Err 8018. Operation valid only when the port is open"}));
        QVERIFY(s.f.port.written.isEmpty());
    }
};

QTEST_MAIN(TestPortSession)
#include "tst_portsession.moc"
