// What assistive technology reads of the window through Qt's accessibility interfaces (the
// same ones the desktop's accessibility bus is served from): the logs as lists of lines, the
// lamps in words, and the whole of a line that the list cuts off.
#include "windowfixture.h"

#include "app/window/activitylog.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"
#include "app/window/logview.h"

#include <QAccessible>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextDocumentFragment>
#include <QToolTip>

using namespace vantor;

namespace {
QAccessibleInterface *accessible(QObject *object)
{
    return QAccessible::queryAccessibleInterface(object);
}

QStringList itemTexts(QAccessibleInterface *list)
{
    QStringList texts;
    for (int i = 0; i < list->childCount(); ++i)
        texts << list->child(i)->text(QAccessible::Name);
    return texts;
}
} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void historyIsAListOfItsLines()
    {
        WindowFixture f;
        f.w().SetStatus("Fire Trigger. Play movie intro.mov");
        f.w().SetStatus("CTS change to : ON");
        f.w().SetStatus("");
        QAccessibleInterface *list = accessible(f.w().findChild<app::LogView *>("lstOUTPUT"));
        QCOMPARE(list->role(), QAccessible::List);
        QCOMPARE(list->text(QAccessible::Name), QStringLiteral("History log"));
        QCOMPARE(list->childCount(), 3);
        const QStringList lines = f.w().history().lines();
        QCOMPARE(itemTexts(list), lines);
        QVERIFY(lines[0].endsWith(" : Fire Trigger. Play movie intro.mov"));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(list->child(i)->role(), QAccessible::ListItem);
            QCOMPARE(list->indexOfChild(list->child(i)), i);
            QCOMPARE(list->child(i)->parent(), list);
        }
        QCOMPARE(list->child(3), nullptr);
    }

    // Lines leave at the front once the log is full: a reader holding an item must keep
    // reading its line, never the line that moved into its row; a dropped line's item goes.
    void itemsStayWithTheirLines()
    {
        app::ActivityLog log(3);
        app::LogView view(log);
        for (const char *line : {"a", "b", "c"})
            log.append(line);
        QAccessibleInterface *list = accessible(&view);
        const QAccessible::Id a = QAccessible::uniqueId(list->child(0));
        QAccessibleInterface *b = list->child(1);
        log.append("d");
        QCOMPARE(QAccessible::accessibleInterface(a), nullptr);
        QCOMPARE(b->text(QAccessible::Name), QStringLiteral("b"));
        QCOMPARE(list->indexOfChild(b), 0);
        QCOMPARE(list->child(0), b);
        QCOMPARE(itemTexts(list), (QStringList{"b", "c", "d"}));

        const QAccessible::Id bId = QAccessible::uniqueId(b);
        log.clear();
        QCOMPARE(QAccessible::accessibleInterface(bId), nullptr);
        QCOMPARE(list->childCount(), 0);
        log.append("e");
        QCOMPARE(itemTexts(list), QStringList{"e"});
    }

    // A line wider than the list shows whole under the mouse, as plain text whatever it holds.
    void cutOffLineShowsWholeAsTooltip()
    {
        app::ActivityLog log;
        app::LogView view(log);
        view.resize(200, 120);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QString wide = "The network serial server did not acknowledge: DTR, RTS, <b>speed</b> & parity";
        log.append("short");
        log.append(wide);
        const QRect row = view.rowRect(1);
        QVERIFY(!row.isEmpty());

        const auto hover = [&](int r) {
            const QPoint at = view.rowRect(r).center();
            QHelpEvent help(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
            QCoreApplication::sendEvent(view.viewport(), &help);
        };
        hover(1);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText(), wide);
        hover(0); // fits: no tooltip
        QTRY_VERIFY(!QToolTip::isVisible());
    }

    // The lamps say in words what their colour means, following the port and the real state
    // of the connection (a dropped connection too), and since when.
    void lampsSayWhatTheyShow()
    {
        WindowFixture f;
        QAccessibleInterface *port = accessible(f.w().findChild<app::Lamp *>("shpCOMSTATUS"));
        auto *serverLamp = f.w().findChild<app::Lamp *>("shpCASPAR");
        QAccessibleInterface *server = accessible(serverLamp);
        QCOMPARE(port->role(), QAccessible::Graphic);
        QCOMPARE(port->text(QAccessible::Name), QStringLiteral("COM port lamp"));
        QCOMPARE(server->text(QAccessible::Name), QStringLiteral("Caspar server lamp"));
        QCOMPARE(port->text(QAccessible::Description), QStringLiteral("closed"));
        QCOMPARE(server->text(QAccessible::Description), QStringLiteral("not connected"));

        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        QCOMPARE(port->text(QAccessible::Description), QStringLiteral("open"));
        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        QCOMPARE(port->text(QAccessible::Description), QStringLiteral("closed"));

        const QTime before = QTime::currentTime();
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        QTRY_COMPARE(server->text(QAccessible::Description), QStringLiteral("connected"));
        static const QRegularExpression since("^connected since (\\d\\d:\\d\\d:\\d\\d)$");
        const QRegularExpressionMatch m = since.match(serverLamp->toolTip());
        QVERIFY2(m.hasMatch(), qPrintable(serverLamp->toolTip()));
        const QTime at = QTime::fromString(m.captured(1), "HH:mm:ss");
        QVERIFY(at >= before.addMSecs(-before.msec()) && at <= QTime::currentTime());
        f.server.stopListening(); // no reconnection
        f.server.dropClients();
        QTRY_COMPARE(server->text(QAccessible::Description), QStringLiteral("not connected"));
        QVERIFY(serverLamp->toolTip().startsWith("not connected since "));
    }

    // The collapse toggle's caption is "5" or "6", drawn as a triangle: it reads and works as
    // a button named after what a press does.
    void collapseToggleIsAButton()
    {
        WindowFixture f;
        auto *toggle = f.w().findChild<app::TriangleToggle *>("lblPROP");
        QAccessibleInterface *button = accessible(toggle);
        QCOMPARE(button->role(), QAccessible::Button);
        QCOMPARE(button->text(QAccessible::Name), QStringLiteral("Collapse"));
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(toggle->text(), QStringLiteral("6"));
        QCOMPARE(f.w().frameGeometry().height(), f.w().twips().px(660));
        QCOMPARE(button->text(QAccessible::Name), QStringLiteral("Expand"));
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
