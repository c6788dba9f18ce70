// The window as the operator finds it after start-up, the collapse toggle, and the logs.
#include "logmessages.h"
#include "windowfixture.h"

#include "app/window/activitylog.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "app/window/logview.h"
#include "app/window/tabcontrol.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTime>
#include <QTimer>

using namespace vantor;
using app::MainWindow;

namespace {
const char *const HiddenControls[] = {"lblLabel(6)", "lblLabel(1)",    "cboCommand", "cmdGetInfo",
                                      "cmdClear",    "cmdGetAllPorts", "lblTRIGER"};

// Records what the window looked like while the port listing ran.
class WatchingProbe : public FakePortProbe
{
public:
    MainWindow *window = nullptr;
    mutable bool seen = false;
    mutable QSize size;
    mutable bool visible = false;
    mutable bool hiddenShown = false;

    bool available(const QString &target) const override
    {
        if (window && !seen) {
            seen = true;
            visible = window->isVisible();
            size = window->size();
            for (const char *name : HiddenControls)
                hiddenShown = hiddenShown || window->findChild<QWidget *>(name)->isVisible();
        }
        return FakePortProbe::available(target);
    }
};
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startUpState()
    {
        WindowFixture f;
        MainWindow &w = f.w();
        QCOMPARE(w.windowTitle(), QStringLiteral("VANTOR Listener"));
        // The outer size, frame included.
        QCOMPARE(w.frameGeometry().size(), QSize(w.twips().px(5500), w.twips().px(5640)));
        auto *tabs = w.findChild<app::TabControl *>("SSTab1");
        QCOMPARE(tabs->currentIndex(), 1);
        QCOMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabBar()->tabText(0), QStringLiteral("Port settings"));
        QCOMPARE(tabs->tabBar()->tabText(3), QStringLiteral("History"));

        auto *conditions = w.findChild<QComboBox *>("cmbTRIGGER");
        QVERIFY(!conditions->isEnabled());
        QCOMPARE(conditions->currentText(), QStringLiteral("Trigger disabled"));
        QCOMPARE(conditions->count(), 7);
        QCOMPARE(conditions->itemText(6), QStringLiteral("DSR CHANGE (ON or OFF)"));
        for (int i = 0; i < 6; ++i) {
            auto *box = w.findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(%1)").arg(i));
            auto *movie = w.findChild<QLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(i));
            QVERIFY(box && movie);
            QVERIFY(!box->isChecked());
            QVERIFY(box->isEnabled());
            QVERIFY(movie->text().isEmpty());
            QVERIFY(!movie->isEnabled());
        }
        QCOMPARE(w.findChild<app::Lamp *>("shpCOMSTATUS")->fillColor(), 255u);
        QCOMPARE(w.findChild<app::Lamp *>("shpCASPAR")->fillColor(), 255u);
        QCOMPARE(w.findChild<QLabel *>("lblCOM")->text(), QStringLiteral("COM:1"));
        QCOMPARE(w.findChild<QLabel *>("lblCASPAR")->text(), QStringLiteral("CSP:127.0.0.1"));
        QCOMPARE(w.findChild<QLabel *>("lblLASTTRINGER")->text(), QStringLiteral("CSP:127.0.0.1"));
        QCOMPARE(w.findChild<QLineEdit *>("txtCASPARIP")->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w.findChild<QPushButton *>("cmdCASPAR")->text(), QStringLiteral("Connect"));
        QCOMPARE(w.findChild<QPushButton *>("cmdCOMStatus")->text(), QStringLiteral("Open COM Port"));

        QCOMPARE(w.findChild<QComboBox *>("cboBaubRate")->currentText(), QStringLiteral("9600"));
        QCOMPARE(w.findChild<QComboBox *>("cboParity")->currentText(), QStringLiteral("N"));
        QCOMPARE(w.findChild<QComboBox *>("cboDataBits")->currentText(), QStringLiteral("8"));
        QCOMPARE(w.findChild<QComboBox *>("cboStopBits")->currentText(), QStringLiteral("1"));
        QCOMPARE(w.findChild<QComboBox *>("cboCommand")->currentText(), QStringLiteral("AT"));

        auto *ports = w.findChild<QComboBox *>("cboComm");
        QCOMPARE(ports->count(), 2);
        QCOMPARE(ports->itemText(0), QStringLiteral("1"));
        QCOMPARE(ports->itemText(1), QStringLiteral("3"));
        QCOMPARE(f.port.commPort(), qint16(1));
        QCOMPARE(
            logMessages(w.portLog()),
            (QStringList{"Getting Available Com Ports...", "Com 1 found", "Com 3 found", "Changed to Com Port 1"}));
        QCOMPARE(w.history().count(), 0);
        QVERIFY(f.prompter.prompts.empty());
    }

    // The window is shown at its laid-out size while the ports are listed, shrinks only
    // afterwards, and the controls right of the tab control are never seen.
    void startUpOrder()
    {
        WindowFixture f({}, false);
        WatchingProbe probe;
        probe.window = f.window.get();
        probe.openable = f.probe.openable;
        // Rebuild the window with the watching probe.
        f.window.reset();
        app::Services services{f.port,     f.portMap, probe,    [] { return std::vector<serial::PortEntry>{}; },
                               f.prompter, f.chooser, *f.caspar};
        f.window = std::make_unique<MainWindow>(services, app::Options{});
        probe.window = f.window.get();
        QVERIFY(!f.window->isVisible());
        f.window->Form_Load();
        QVERIFY(probe.seen);
        QVERIFY(probe.visible);
        QCOMPARE(probe.size, QSize(f.window->twips().px(10110), f.window->twips().px(6240)));
        QVERIFY(!probe.hiddenShown);
        for (const char *name : HiddenControls)
            QVERIFY2(!f.window->findChild<QWidget *>(name)->isVisible(), name);
        QVERIFY(!f.window->findChild<QWidget *>("cmdGetInfo")->isEnabled());
    }

    void collapseAndExpand()
    {
        WindowFixture f;
        MainWindow &w = f.w();
        auto *toggle = w.findChild<app::TriangleToggle *>("lblPROP");
        const int width = w.width();
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(toggle->text(), QStringLiteral("6"));
        QCOMPARE(w.frameGeometry().height(), w.twips().px(660));
        QCOMPARE(w.width(), width);
        // Collapsed, the lists still take lines.
        w.SetStatus("while collapsed");
        QCOMPARE(logMessages(w.history()).last(), QStringLiteral("while collapsed"));
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(toggle->text(), QStringLiteral("5"));
        QCOMPARE(w.frameGeometry().height(), w.twips().px(5640));
        QCOMPARE(w.width(), width);
    }

    void logLines()
    {
        WindowFixture f;
        MainWindow &w = f.w();
        const QTime before = QTime::currentTime();
        w.SetStatus("first");
        w.SetStatus("");
        w.SetStatus("  kept as given  ");
        const QTime after = QTime::currentTime();
        const QStringList lines = w.history().lines();
        QCOMPARE(lines.size(), 3);
        static const QRegularExpression format("^([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d : ");
        for (const QString &line : lines)
            QVERIFY2(format.match(line).hasMatch(), qPrintable(line));
        // 24-hour clock: the stamp is the time of day, not a 12-hour reading of it.
        const QTime stamp = QTime::fromString(lines[0].left(8), "HH:mm:ss");
        QVERIFY(stamp >= before.addMSecs(-before.msec()) && stamp <= after);
        QVERIFY(lines[1].endsWith(" : "));
        QCOMPARE(lines[1].size(), 11);
        QVERIFY(lines[2].endsWith(" :   kept as given  "));
        // The port log is a log of its own.
        w.SetStatus1("port");
        QCOMPARE(w.history().count(), 3);
        QCOMPARE(logMessages(w.portLog()).last(), QStringLiteral("port"));
    }

    // The log keeps its newest lines; the highlighted line stays highlighted while older
    // ones go, and the newest stays in sight.
    void logKeepsNewestLinesAndSelection()
    {
        app::ActivityLog log(5);
        app::LogView view(log);
        view.resize(200, view.fontMetrics().height() * 3 + 12);
        view.show();
        for (const char *m : {"a", "b", "c", "d", "e"})
            log.append(m);
        view.setCurrentRow(3); // "d"
        log.append("f");
        view.scrollToBottom();
        QCOMPARE(log.lines(), (QStringList{"b", "c", "d", "e", "f"}));
        QCOMPARE(log.at(view.currentRow()), QStringLiteral("d"));
        QCOMPARE(view.topRow() + view.rowsInSight(), log.count());
        log.append("g");
        log.append("h");
        log.append("i"); // "d" is gone now
        QCOMPARE(view.currentRow(), -1);
        log.clear();
        view.scrollToBottom();
        QCOMPARE(view.topRow(), 0);
    }

    // Whatever a peer sends, a line stays readable and a log stays within its bytes: a long
    // message is cut with a mark that says how much went, and old lines make room.
    void longLinesCutAndLogBoundedByBytes()
    {
        WindowFixture f;
        const QString reply = "404 PLAY FAILED " + QString(64 * 1024, QChar('x'));
        f.w().SetStatus(reply);
        f.w().SetStatus1(reply);
        const int cut = 11 + int(reply.size()) - int(app::ActivityLog::MaxLineLength);
        const QString mark = QStringLiteral(" …[%1 more characters cut]").arg(cut);
        for (app::ActivityLog *log : {&f.w().history(), &f.w().portLog()}) {
            const QString &line = log->at(log->count() - 1);
            QCOMPARE(line.mid(11, 16), QStringLiteral("404 PLAY FAILED "));
            QVERIFY2(line.endsWith(mark), qPrintable(line.right(40)));
            QCOMPARE(line.size(), app::ActivityLog::MaxLineLength + mark.size());
        }

        // A character made of two halves is kept whole or cut whole.
        const QString emoji = QString::fromUtf8("\xf0\x9f\x8e\xac");
        const QString split = QString(app::ActivityLog::MaxLineLength - 1, QChar('a')) + emoji + "b";
        QVERIFY(app::ActivityLog::cut(split).startsWith(split.first(split.size() - 3) + " …[3 more"));

        app::ActivityLog log(1000, 100 * 1000);
        for (int i = 0; i < 100; ++i)
            log.append(QString::number(i).leftJustified(5000, QChar('.')));
        QVERIFY(log.bytes() <= log.byteCapacity());
        QVERIFY2(log.count() >= 10 && log.count() < 15, qPrintable(QString::number(log.count())));
        QCOMPARE(log.at(log.count() - 1), "99" + QString(4096 - 2, QChar('.')) + " …[904 more characters cut]");
        QCOMPARE(log.dropped() + log.count(), 100);
        for (int i = 0; i < 300; ++i)
            log.append("short");
        QVERIFY(log.bytes() <= log.byteCapacity());
        QVERIFY(log.count() > 300 && log.count() < 1000); // short lines fit again
    }

    // A file name or an address is shown, and read out, exactly as it is sent: never as markup.
    void namesShowAsPlainText()
    {
        WindowFixture f;
        f.w().findChild<QCheckBox *>("chkTRIGGER(0)")->click();
        f.chooser.choices.push_back("/media/<i>promo.mov");
        auto *movie = f.w().findChild<app::ClickableLabel *>("lblTRIGERMOVIE(0)");
        QTest::mouseDClick(movie, Qt::LeftButton);
        QCOMPARE(movie->text(), QStringLiteral("<i>promo.mov"));
        f.w().findChild<QLineEdit *>("txtCASPARIP")->setText("<b>server</b>");
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        auto *caspar = f.w().findChild<QLabel *>("lblCASPAR");
        QCOMPARE(caspar->text(), QStringLiteral("CSP:<b>server</b>"));
        for (QLabel *label : {static_cast<QLabel *>(movie), caspar})
            QCOMPARE(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name), label->text());
    }

    // A click highlights the line under it, as in a list box.
    void clickHighlightsALine()
    {
        WindowFixture f;
        auto *history = f.w().findChild<app::LogView *>("lstOUTPUT");
        for (int i = 0; i < 3; ++i)
            f.w().SetStatus(QString::number(i));
        const int rowHeight = history->fontMetrics().height() + 2;
        QTest::mouseClick(history->viewport(), Qt::LeftButton, {}, QPoint(10, rowHeight + rowHeight / 2));
        QCOMPARE(history->currentRow(), 1);
        f.w().SetStatus("3");
        QCOMPARE(history->currentRow(), 1);
    }

    void rightClickEmptiesPortLogOnly()
    {
        WindowFixture f;
        MainWindow &w = f.w();
        w.SetStatus("history stays");
        auto *list = w.findChild<app::LogView *>("lstCOMOUT");
        QTest::mouseClick(list->viewport(), Qt::LeftButton);
        QTest::mouseClick(list->viewport(), Qt::MiddleButton);
        QCOMPARE(w.portLog().count(), 4);
        QTest::mousePress(list->viewport(), Qt::RightButton);
        QCOMPARE(w.portLog().count(), 0);
        QCOMPARE(w.history().count(), 1);
        w.SetStatus1("again");
        QCOMPARE(logMessages(w.portLog()), QStringList{"again"});
    }

    // A settings string that does not fit the lists is reported by Form_Load's trap at its line.
    void formLoadReportsItsLine()
    {
        WindowFixture f({}, false);
        f.port.setSettings("19200,N,8,1");
        f.w().Form_Load();
        QVERIFY(!f.prompter.prompts.empty());
        QCOMPARE(
            QString::fromStdString(f.prompter.prompts.front()),
            QStringLiteral("Error 380\r\nInvalid property value\r\nLocation: VANTOR.frmMAIN.Form_Load\r\nLine 128"));
        // Ignore went on: the window still reaches its final size.
        QCOMPARE(f.w().frameGeometry().height(), f.w().twips().px(5640));
    }

    // The window is a tool window, which Qt does not count for quitting: closing it must end
    // the program all the same.
    void closingTheWindowEndsTheProgram()
    {
        WindowFixture f;
        QTimer::singleShot(0, f.window.get(), &QWidget::close);
        QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(f.w().windowFlags() & Qt::Tool);
        QVERIFY(!(f.w().windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(f.w().windowFlags() & Qt::WindowMaximizeButtonHint));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
