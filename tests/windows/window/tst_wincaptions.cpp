// The window's captions under Windows' own font rendering (Wine's here), which draws some texts
// a little wider than the Linux edition does: each fixed caption shows its whole text.
#include "windowfixture.h"

#include <QLabel>
#include <QTest>

class TestWinCaptions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fixedCaptionsShowTheirWholeText()
    {
        WindowFixture f;
        f.w().show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.w()));
        int checked = 0;
        for (const QLabel *label : f.w().findChildren<QLabel *>()) {
            // Texts that come from outside (plain text), wrapped texts and the controls never shown
            // are not captions of fixed width.
            if (label->textFormat() == Qt::PlainText || label->wordWrap() || label->isHidden()
                || label->text().isEmpty())
                continue;
            ++checked;
            const int needed = label->fontMetrics().horizontalAdvance(label->text());
            QVERIFY2(label->contentsRect().width() >= needed,
                     qPrintable(QStringLiteral("%1 \"%2\": %3 px for %4 px of text")
                                    .arg(label->objectName(), label->text())
                                    .arg(label->contentsRect().width())
                                    .arg(needed)));
        }
        QVERIFY(checked >= 5);
    }
};

QTEST_MAIN(TestWinCaptions)
#include "tst_wincaptions.moc"
