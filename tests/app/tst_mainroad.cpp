// The main road end to end: a line change of the port fires the armed slots, the PLAY line
// reaches a playout server on 127.0.0.1, and every port event writes its History line.
#include "logmessages.h"
#include "windowfixture.h"

#include "app/window/clickablelabel.h"
#include "playout/preloader.h"
#include "serial/service/commevent.h"

#include <QCheckBox>
#include <QMenu>
#include <QPushButton>
#include <QTest>

using namespace vantor;
using namespace vantor::serial;

namespace {
struct Road
{
    WindowFixture f;

    explicit Road(std::chrono::milliseconds debounce = std::chrono::milliseconds(0))
        : f(options(debounce))
    {
        QVERIFY(f.goOnAir());
        f.w().history().clear();
    }
    static app::Options options(std::chrono::milliseconds debounce)
    {
        app::Options o;
        o.debounce = debounce;
        return o;
    }

    void arm(int slot, const QString &movie)
    {
        f.arm(slot, "/media/" + movie);
        QCOMPARE(f.w().findChild<QLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot))->text(), movie);
    }
    QStringList history() const { return logMessages(f.window->history()); }
    // Lets queued port events run.
    void settle(int ms = 30) { QTest::qWait(ms); }
};
} // namespace

class TestMainRoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void onAndOffSlotsFireOnTheirLevelOnly()
    {
        Road r;
        r.arm(0, "on.mov");
        r.arm(1, "off.mov");
        r.f.port.changeCts(true);
        QTRY_COMPARE(r.history().size(), 2);
        QCOMPARE(r.history(), (QStringList{"Fire Trigger. Play movie on.mov", "CTS change to : ON"}));
        QVERIFY(r.f.server.waitForLines(1, 2000));
        QCOMPARE(r.f.server.received(), QByteArray("PLAY 1 on.mov\r\n"));
        QCOMPARE(r.f.w().findChild<QLabel *>("lblLASTTRINGER")->text(), QStringLiteral("CTS ON"));
        r.f.port.changeCts(false);
        QTRY_COMPARE(r.history().size(), 4);
        QCOMPARE(r.history().mid(2), (QStringList{"Fire Trigger. Play movie off.mov", "CTS change to : OFF"}));
        QVERIFY(r.f.server.waitForLines(2, 2000));
        QCOMPARE(r.f.server.texts().last(), QByteArray("PLAY 1 off.mov"));
    }

    void changeSlotFiresBothWays()
    {
        Road r;
        r.arm(5, "any.mov");
        r.f.port.changeDsr(true);
        r.f.port.changeDsr(false);
        QTRY_COMPARE(r.history().size(), 4);
        QCOMPARE(r.history(),
                 (QStringList{"Fire Trigger. Play movie any.mov", "DSR change to : ON",
                              "Fire Trigger. Play movie any.mov", "DSR change to : OFF"}));
        QCOMPARE(r.f.w().findChild<QLabel *>("lblLASTTRINGER")->text(), QStringLiteral("DSR CHANGE"));
    }

    void linesNeverFireEachOthersSlots()
    {
        Road r;
        r.arm(0, "cts.mov");
        r.f.port.changeDsr(true);
        r.f.port.changeCts(false);
        r.settle();
        QCOMPARE(r.history(), (QStringList{"DSR change to : ON", "CTS change to : OFF"}));
        QCOMPARE(r.f.server.lineCount(), 0);
    }

    void withoutArmedSlotsEachEventIsOneLine()
    {
        Road r;
        r.f.port.changeCts(true);
        r.f.port.raise(comm::Send);
        r.f.port.raise(comm::Cd);
        r.f.port.raise(comm::Ring);
        r.f.port.raise(comm::Eof);
        r.f.port.raise(comm::Break);
        r.f.port.raise(comm::Frame);
        r.f.port.raise(comm::Overrun);
        r.f.port.raise(comm::RxOver);
        r.f.port.raise(comm::RxParity);
        r.f.port.raise(comm::TxFull);
        r.f.port.raise(comm::Dcb);
        r.f.port.raise(comm::CtsTimeout);
        r.f.port.raise(comm::DsrTimeout);
        r.f.port.raise(comm::CdTimeout);
        r.f.port.raise(1005);
        r.f.port.raise(comm::Receive, "AT\r\nOK\r\n ");
        QTRY_COMPARE(r.history().size(), 17);
        QCOMPARE(r.history(),
                 (QStringList{"CTS change to : ON", "", "Change in CD Detected", "Ringing tone Detected",
                              "End of File Detected", "***Break Received", "***Framing Error", "***Overrun Error",
                              "***Receive Buffer Overflow", "***Parity Error", "***Transmit Buffer Full",
                              "***Error retrieving DCB", "***CTS Timeout", "***DSR Timeout",
                              "***Carrier Detect Timeout", "***Unknown error or event", "AT\r\nOK\r\n "}));
        QVERIFY(r.f.window->history().lines()[1].endsWith(" : "));
    }

    // A pulse shorter than the handling of one event: both changes are queued before the
    // first is handled, and each is judged by the level the line took in it.
    void shortPulseFiresOnThenOff()
    {
        Road r;
        r.arm(0, "on.mov");
        r.arm(1, "off.mov");
        r.f.port.changeCts(true);
        r.f.port.changeCts(false);
        QTRY_COMPARE(r.history().size(), 4);
        QCOMPARE(r.history(),
                 (QStringList{"Fire Trigger. Play movie on.mov", "CTS change to : ON",
                              "Fire Trigger. Play movie off.mov", "CTS change to : OFF"}));
        QVERIFY(r.f.server.waitForLines(2, 2000));
        QCOMPARE(r.f.server.received(), QByteArray("PLAY 1 on.mov\r\nPLAY 1 off.mov\r\n"));
    }

    // A bouncing contact closes once: one play, not one per bounce.
    void bounceFiresOnce()
    {
        Road r(std::chrono::milliseconds(10));
        r.arm(0, "on.mov");
        r.arm(1, "off.mov");
        for (bool level : {true, false, true, false, true})
            r.f.port.changeCts(level);
        r.settle(60);
        QCOMPARE(r.history(), (QStringList{"Fire Trigger. Play movie on.mov", "CTS change to : ON"}));
        // With the hold-off, a 1 ms pulse still fires ON at once and OFF when it ends.
        r.f.w().history().clear();
        r.f.port.changeCts(false);
        r.settle(60);
        r.f.w().history().clear();
        r.f.port.changeCts(true);
        QTest::qWait(1);
        r.f.port.changeCts(false);
        QTRY_COMPARE(r.history().size(), 4);
        QCOMPARE(r.history(),
                 (QStringList{"Fire Trigger. Play movie on.mov", "CTS change to : ON",
                              "Fire Trigger. Play movie off.mov", "CTS change to : OFF"}));
    }

    void slotsFireWhileCollapsed()
    {
        Road r;
        r.arm(3, "dsr.mov");
        r.f.w().lblPROP_Click();
        r.f.port.changeDsr(true);
        QTRY_COMPARE(r.history().size(), 2);
        QVERIFY(r.f.server.waitForLines(1, 2000));
        QCOMPARE(r.f.server.texts().first(), QByteArray("PLAY 1 dsr.mov"));
    }

    // A right click on a slot's movie label offers "Play now", which fires the slot as a test,
    // when the slot has a movie. The menu pops up without waiting; the test takes its action.
    void playNowFromTheMovieLabel()
    {
        Road r;
        r.arm(0, "on.mov");
        r.f.w().findChild<QCheckBox *>("chkTRIGGER(3)")->click(); // armed, no movie
        const auto playNow = [&](int slot) {
            auto *label = r.f.w().findChild<app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot));
            QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), label->mapToGlobal(QPoint(5, 5)));
            QCoreApplication::sendEvent(label, &click);
            auto *menu = label->findChild<QMenu *>("mnuSLOT");
            QAction *action = menu ? menu->findChild<QAction *>("mnuPLAYNOW") : nullptr;
            return std::pair{menu, action};
        };
        const auto [emptyMenu, disabled] = playNow(3);
        QVERIFY(disabled);
        QCOMPARE(disabled->text(), QStringLiteral("Play now"));
        QVERIFY(!disabled->isEnabled());
        emptyMenu->close();

        const auto [menu, action] = playNow(0);
        QVERIFY(action && action->isEnabled());
        action->trigger();
        QVERIFY(r.f.server.waitForLines(1, 2000));
        QCOMPARE(r.f.server.received(), QByteArray("PLAY 1 on.mov\r\n"));
        QCOMPARE(r.history(), (QStringList{"Test fire of CTS ON", "Fire Trigger. Play movie on.mov"}));
        menu->close();
    }

    // The same menu on an unarmed slot's label, and from the keyboard.
    void slotMenuOnAnUnarmedSlotAndFromTheKeyboard()
    {
        Road r;
        r.arm(4, "off.mov");
        auto *box = r.f.w().findChild<QCheckBox *>("chkTRIGGER(4)");
        box->click(); // unarmed: its label is disabled
        auto *label = r.f.w().findChild<QWidget *>("lblTRIGERMOVIE(4)");
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), label->mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(label, &click);
        QVERIFY(label->findChild<QMenu *>("mnuSLOT"));
        QTest::keyClick(box, Qt::Key_F10, Qt::ShiftModifier);
        QVERIFY(box->findChild<QMenu *>("mnuSLOT"));
        QVERIFY(r.f.w().findChild<QWidget *>("lblTRIGERMOVIE(0)")->focusPolicy() & Qt::TabFocus);
    }

    // The slot menu sets each slot's channel, layer and action; the label tells what the slot
    // sends, a second pre-load of the same layer is refused, and the firings send those lines.
    void slotCommandsFromTheMenu()
    {
        Road r;
        const auto label = [&](int slot) {
            return r.f.w().findChild<app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot));
        };
        const auto pickFromMenu = [&](int slot, const char *item) {
            QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), label(slot)->mapToGlobal(QPoint(5, 5)));
            QCoreApplication::sendEvent(label(slot), &click);
            auto *menu = label(slot)->findChild<QMenu *>("mnuSLOT");
            QVERIFY(menu);
            menu->findChild<QAction *>(item)->trigger();
            menu->close();
        };
        r.arm(0, "a.mov");
        r.arm(1, "b.mov");
        for (int slot : {0, 1}) {
            r.f.addresses.answers.push_back({1, 10});
            pickFromMenu(slot, "mnuADDRESS");
            pickFromMenu(slot, "mnuACTIONPRELOADED");
        }
        QCOMPARE(label(0)->toolTip(), QStringLiteral("PLAY 1-10, pre-loaded a.mov"));
        QCOMPARE(label(0)->accessibleDescription(), QStringLiteral("CTS ON sends PLAY 1-10, pre-loaded a.mov"));
        QCOMPARE(label(1)->toolTip(), QStringLiteral("PLAY 1-10 b.mov"));
        pickFromMenu(1, "mnuACTIONSTOP");
        QCOMPARE(label(1)->text(), QStringLiteral("Stop"));

        QTRY_VERIFY(r.f.w().preloader().confirmed(0, 0));
        r.f.port.changeCts(true);
        r.f.port.changeCts(false);
        QTRY_COMPARE(r.history().size(), 5);
        QVERIFY(r.f.server.waitForLines(4, 5000));
        QCOMPARE(r.f.server.received(), "LOADBG 1-10 a.mov\r\nPLAY 1-10\r\nLOADBG 1-10 a.mov\r\nSTOP 1-10\r\n");
        QCOMPARE(r.history(),
                 (QStringList{"***CTS OFF not set to pre-load b.mov on 1-10: CTS ON pre-loads a.mov there",
                              "Fire Trigger. Play pre-loaded movie a.mov on 1-10", "CTS change to : ON",
                              "Fire Trigger. Stop 1-10", "CTS change to : OFF"}));
    }

    // A clip the server cannot load shows in History when the slot is set, not on cue; its
    // firing then plays in full and says so; a new connection loads the clip again.
    void preloadFailureFallbackAndReconnect()
    {
        Road r;
        r.f.server.setReplier([](const QByteArray &line) {
            return line.startsWith("LOADBG") ? QByteArrayList{"404 LOADBG FAILED"} : AmcpResponder::standardReply(line);
        });
        r.arm(3, "missing.mov");
        QVERIFY(r.f.w().triggerSlots().setCommand(3, {{1, 10}, playout::SlotAction::PlayPreloaded}));
        const QString failed = "***DSR ON pre-load of missing.mov on 1-10 failed: 404 LOADBG FAILED";
        QTRY_VERIFY(r.history().contains(failed));
        r.f.port.changeDsr(true);
        QTRY_VERIFY(r.history().contains("DSR change to : ON"));
        QVERIFY(r.history().contains("Fire Trigger. Play movie missing.mov on 1-10, not pre-loaded: sent in full"));
        QCOMPARE(r.f.server.texts().mid(0, 3),
                 (QByteArrayList{"LOADBG 1-10 missing.mov", "PLAY 1-10 missing.mov", "LOADBG 1-10 missing.mov"}));
        QMetaObject::invokeMethod(&r.f.server, &AmcpResponder::dropClients, Qt::QueuedConnection);
        QTRY_VERIFY(r.f.server.texts().count("LOADBG 1-10 missing.mov") >= 3);
        QTRY_COMPARE(r.history().count(failed), 3);
    }

    void notReadyServerIsLoggedBeforeTheEvent()
    {
        Road r;
        r.arm(0, "on.mov");
        r.f.w().findChild<QPushButton *>("cmdCASPAR")->click(); // disconnect
        r.f.port.changeCts(true);
        QTRY_COMPARE(r.history().size(), 2);
        QCOMPARE(r.history(), (QStringList{"***Fire Trigger. Caspar not ready", "CTS change to : ON"}));
    }
};

QTEST_MAIN(TestMainRoad)
#include "tst_mainroad.moc"
