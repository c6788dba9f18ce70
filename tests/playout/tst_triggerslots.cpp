#include "playout/filechooser.h"
#include "playout/moviename.h"
#include "playout/triggerslots.h"

#include "scriptedfilechooser.h"
#include "scriptedprompter.h"

#include <QCheckBox>
#include <QLabel>
#include <QRandomGenerator>
#include <QtTest>

using namespace vantor::playout;

namespace {

// The six rows of the "Trigger" page, wired as the window wires them.
struct Page
{
    explicit Page(QString mediaFolder = {})
    {
        for (int i = 0; i < TriggerSlots::Count; ++i) {
            boxes[i] = new QCheckBox(TriggerSlots::conditionName(i), &host);
            labels[i] = new QLabel(&host);
            labels[i]->setEnabled(false);
        }
        triggers.emplace(TriggerSlots::Controls{boxes, labels}, trap, chooser, mediaFolder);
        for (int i = 0; i < TriggerSlots::Count; ++i)
            QObject::connect(boxes[i], &QCheckBox::clicked, &host,
                             [this, i] { triggers->chkTRIGGER_Click(qint16(i)); });
    }

    QList<bool> boxesEnabled(int from, int to) const
    {
        QList<bool> result;
        for (int i = from; i <= to; ++i)
            result.append(boxes[i]->isEnabled());
        return result;
    }

    QWidget host;
    std::array<QCheckBox *, 6> boxes{};
    std::array<QLabel *, 6> labels{};
    ScriptedPrompter prompter;
    vantor::ErrorTrap trap{prompter, [] { QFAIL("the program would end"); }};
    ScriptedFileChooser chooser;
    std::optional<TriggerSlots> triggers;
};

} // namespace

class TestTriggerSlots : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ctsExclusion()
    {
        Page page;
        page.boxes[0]->click();
        QCOMPARE(page.boxesEnabled(0, 2), (QList<bool>{true, true, false}));
        page.boxes[1]->click(); // ON and OFF together
        QVERIFY(page.triggers->armed(0) && page.triggers->armed(1));
        QVERIFY(!page.boxes[2]->isEnabled());
        page.boxes[0]->click();
        QVERIFY(!page.boxes[2]->isEnabled());
        page.boxes[1]->click();
        QVERIFY(page.boxes[2]->isEnabled());

        page.boxes[2]->click();
        QCOMPARE(page.boxesEnabled(0, 2), (QList<bool>{false, false, true}));
        page.boxes[0]->click(); // a disabled box cannot be ticked
        QVERIFY(!page.triggers->armed(0));
        page.boxes[2]->click();
        QCOMPARE(page.boxesEnabled(0, 2), (QList<bool>{true, true, true}));
        QCOMPARE(page.boxesEnabled(3, 5), (QList<bool>{true, true, true}));
    }

    // Random clicks on whatever is enabled; after every click the rules hold and the other
    // line's group is exactly as it was.
    void invariantsUnderRandomClicks()
    {
        Page page;
        QRandomGenerator random(4711);
        for (int n = 0; n < 2000; ++n) {
            const int i = int(random.bounded(6));
            if (!page.boxes[i]->isEnabled())
                continue;
            const bool cts = i < 3;
            const QList<bool> otherBefore = cts ? page.boxesEnabled(3, 5) : page.boxesEnabled(0, 2);
            page.boxes[i]->click();
            QCOMPARE(cts ? page.boxesEnabled(3, 5) : page.boxesEnabled(0, 2), otherBefore);

            const auto armed = [&](int k) { return page.triggers->armed(k); };
            for (int g : {0, 3}) {
                QCOMPARE(page.boxes[g + 2]->isEnabled(), !armed(g) && !armed(g + 1));
                QCOMPARE(page.boxes[g]->isEnabled(), !armed(g + 2));
                QCOMPARE(page.boxes[g + 1]->isEnabled(), !armed(g + 2));
                QVERIFY(!(armed(g + 2) && (armed(g) || armed(g + 1))));
            }
            for (int k = 0; k < 6; ++k)
                QCOMPARE(page.labels[k]->isEnabled(), armed(k));
        }
    }

    void armedMeansFullyChecked()
    {
        Page page;
        page.boxes[3]->setTristate(true);
        page.boxes[3]->setCheckState(Qt::PartiallyChecked);
        QVERIFY(!page.triggers->armed(3));
        page.boxes[3]->setCheckState(Qt::Checked);
        QVERIFY(page.triggers->armed(3));
    }

    void movieChosenKeptAndCancelled()
    {
        Page page;
        page.chooser.choices = {QStringLiteral("/home/op/clips/my clip.MOV")};

        page.triggers->lblTRIGERMOVIE_DblClick(1); // unarmed: no dialog
        QCOMPARE(page.chooser.shown, 0);

        page.boxes[1]->click();
        page.triggers->lblTRIGERMOVIE_DblClick(1);
        QCOMPARE(page.chooser.shown, 1);
        QCOMPARE(page.chooser.lastTitle, QStringLiteral("Select Movie file"));
        QCOMPARE(page.chooser.lastFilters, (QStringList{"Movie files (*.mov)", "All files (*)"}));
        QCOMPARE(page.triggers->movie(1), QStringLiteral("my clip.MOV"));

        // nothing left to choose: the operator cancels
        page.triggers->lblTRIGERMOVIE_DblClick(1);
        QCOMPARE(page.triggers->movie(1), QStringLiteral("my clip.MOV"));

        page.boxes[1]->click(); // disarmed: greyed, kept
        QVERIFY(!page.labels[1]->isEnabled());
        QCOMPARE(page.triggers->movie(1), QStringLiteral("my clip.MOV"));
        page.boxes[1]->click();
        QVERIFY(page.labels[1]->isEnabled());
        QCOMPARE(page.triggers->movie(1), QStringLiteral("my clip.MOV"));
        QVERIFY(page.prompter.prompts.empty());
    }

    void movieNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::newRow("no folder") << "/srv/media/news/intro.mov"
                                   << ""
                                   << "intro.mov";
        QTest::newRow("under folder") << "/srv/media/news/intro.mov"
                                      << "/srv/media"
                                      << "news/intro.mov";
        QTest::newRow("folder with slash") << "/srv/media/intro.mov"
                                           << "/srv/media/"
                                           << "intro.mov";
        QTest::newRow("deeper") << "/srv/media/a/b/c d.mov"
                                << "/srv/media"
                                << "a/b/c d.mov";
        QTest::newRow("outside") << "/home/op/intro.mov"
                                 << "/srv/media"
                                 << "intro.mov";
        QTest::newRow("sibling prefix") << "/srv/media2/x.mov"
                                        << "/srv/media"
                                        << "x.mov";
        QTest::newRow("dot-dot in path") << "/srv/media/../other/x.mov"
                                         << "/srv/media"
                                         << "x.mov";
        QTest::newRow("no extension") << "/srv/clips/ident"
                                      << ""
                                      << "ident";
    }

    void movieNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QCOMPARE(movieName(path, folder), name);
    }

    // The label's tooltip and description give the command exactly as it goes on the wire.
    void labelTellsTheCommandAsSent_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("layer");
        QTest::addColumn<QString>("movie");
        QTest::addColumn<QString>("sends");
        QTest::newRow("default, a space") << int(SlotAction::Play) << SlotAddress::NoLayer << "my clip.mov"
                                          << "PLAY 1 \"my clip.mov\"";
        QTest::newRow("quote and backslash") << int(SlotAction::Play) << 10 << "say \"hi\"\\x"
                                             << "PLAY 1-10 \"say \\\"hi\\\"\\\\x\"";
        QTest::newRow("pre-loaded") << int(SlotAction::PlayPreloaded) << 10 << "my clip.mov"
                                    << "PLAY 1-10, pre-loaded \"my clip.mov\"";
    }
    void labelTellsTheCommandAsSent()
    {
        QFETCH(int, action);
        QFETCH(int, layer);
        QFETCH(QString, movie);
        QFETCH(QString, sends);
        Page page;
        page.chooser.choices = {"/media/" + movie};
        page.boxes[0]->click();
        page.triggers->lblTRIGERMOVIE_DblClick(0);
        QVERIFY(page.triggers->setCommand(0, {{1, layer}, SlotAction(action)}));
        QCOMPARE(page.labels[0]->toolTip(), sends);
        QCOMPARE(page.labels[0]->accessibleDescription(), "CTS ON sends " + sends);
    }

    void mediaFolderUsedByTheDialog()
    {
        Page page(QStringLiteral("/srv/media"));
        page.boxes[5]->click();
        page.chooser.choices = {QStringLiteral("/srv/media/promo/spot.mov")};
        page.triggers->lblTRIGERMOVIE_DblClick(5);
        QCOMPARE(page.triggers->movie(5), QStringLiteral("promo/spot.mov"));
    }

    void badIndexReportedByTheTrap()
    {
        Page page;
        page.triggers->chkTRIGGER_Click(6);
        QVERIFY(!page.prompter.prompts.empty());
        QCOMPARE(QString::fromStdString(page.prompter.prompts.front()),
                 QStringLiteral(
                     "Error 9\r\nSubscript out of range\r\nLocation: VANTOR.frmMAIN.chkTRIGGER_Click\r\nLine 14"));
    }
};

QTEST_MAIN(TestTriggerSlots)
#include "tst_triggerslots.moc"
