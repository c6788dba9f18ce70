// A child process for the SIGKILL test of the restore file: a window started with --restore
// FILE whose operator changes slot 0's movie as fast as the event loop runs. It prints
// "changed N" before the N-th change and "saved N" once the N-th set-up is on disk. It ends
// by itself after 30 s.
#include "setupgenerations.h"
#include "windowfixture.h"

#include "app/station/setuprestore.h"
#include "app/window/clickablelabel.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include <sys/prctl.h>

namespace {
void say(const char *what, quint64 n)
{
    std::printf("%s %llu\n", what, static_cast<unsigned long long>(n));
    std::fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    prctl(PR_SET_DUMPABLE, 0); // killed on purpose: no core files
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    WindowFixture f;
    vantor::app::SetupRestore restore(QString::fromLocal8Bit(argv[1]), f.w(), f.port, f.movies, {});
    restore.restore(); // the file arms slot 0 and holds no change to save
    // Each change below makes exactly one save, so save number N holds movie N.
    QObject::connect(&restore.file(), &vantor::app::SetupFile::saved, [](quint64 n) { say("saved", n); });
    auto *label = f.w().findChild<vantor::app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(0)"));
    quint64 n = 0;
    QTimer changes;
    QObject::connect(&changes, &QTimer::timeout, [&] {
        ++n;
        say("changed", n);
        f.chooser.choices.push_back(QStringLiteral("/media/") + generationMovie(n));
        QTest::mouseDClick(label, Qt::LeftButton);
    });
    changes.start(0);
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    return app.exec();
}
