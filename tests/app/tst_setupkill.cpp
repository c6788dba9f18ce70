// A power cut while the set-up changes: the restore file holds the old set-up or the new one,
// never a mix or a torn file. The program is killed (SIGKILL) at random moments while its
// operator changes the set-up as fast as the window takes it.
#include "setupgenerations.h"

#include "app/station/setupfile.h"
#include "errortrap/childprocess.h"

#include <QRandomGenerator>
#include <QTest>

using vantor::app::Setup;
using vantor::app::SetupFile;

namespace {
// The last number after `word` in the child's output, 0 for none.
quint64 last(const ChildProcess &child, const QByteArray &word)
{
    quint64 n = 0;
    for (const QByteArray &line : child.outLines()) {
        if (line.startsWith(word + ' '))
            n = line.mid(word.size() + 1).toULongLong();
    }
    return n;
}
} // namespace

class TestSetupKill : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killedAnyTimeTheFileHoldsOneWholeSetUp()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        Setup start;
        start.armed[0] = true;
        start.movies[0] = QStringLiteral("start.mov");
        int withSaves = 0;
        for (int run = 0; run < 12; ++run) {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(SetupFile::format(start)) > 0);
            out.close();

            ChildProcess child(SETUP_CHILD, {file.toStdString()});
            QVERIFY(child.started());
            QVERIFY2(child.waitForOutput("changed 1", 10000), child.describe().constData());
            // Every other run is killed only after a save is on disk, however slow the machine
            // is; the others may be killed before the first save.
            if (run % 2 == 0)
                QVERIFY2(child.waitForOutput("saved ", 30000), child.describe().constData());
            QThread::msleep(QRandomGenerator::global()->bounded(5, 120));
            child.signal(SIGKILL);
            child.waitForEnd();
            QVERIFY2(child.killedBy(SIGKILL), child.describe().constData());

            const quint64 saved = last(child, "saved");
            const quint64 changed = last(child, "changed");
            const SetupFile::Loaded loaded = SetupFile::parse(file);
            QVERIFY2(loaded.problems.isEmpty(), qPrintable(loaded.problems.join("; ")));
            const QString movie = loaded.setup.movies[0];
            quint64 held = 0;
            for (quint64 n = saved; n <= changed && held == 0; ++n)
                held = (n == 0 ? movie == start.movies[0] : movie == generationMovie(n)) ? n + 1 : 0;
            QVERIFY2(held > 0,
                     qPrintable(QStringLiteral("run %1: saved %2, changed %3, the file holds %4")
                                    .arg(run)
                                    .arg(saved)
                                    .arg(changed)
                                    .arg(movie)));
            withSaves += saved > 0;
        }
        QVERIFY2(withSaves >= 6, "the kills came too early to show anything");
    }
};

QTEST_MAIN(TestSetupKill)
#include "tst_setupkill.moc"
