// Playout servers that misbehave, on 127.0.0.1: whatever one sends or does, the program stays
// within its memory bound, the window keeps answering, every failure reply that arrives is
// reported, and once the server behaves a slot that fires sends its PLAY line.
#include "hostileplayoutpeer.h"
#include "loopwatch.h"
#include "windowfixture.h"

#include "app/window/clickablelabel.h"
#include "app/window/tabcontrol.h"

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace vantor;
using Mode = HostilePlayoutPeer::Mode;

namespace {

// The most a playout server can make the program keep: both logs full to their bytes, the
// socket's read portion and the reply reader's line, with room for the allocator.
constexpr qint64 GrowthBound = 2 * app::ActivityLog::DefaultByteCapacity + 16 * 1024 * 1024;
constexpr double LagBound = 100;

// The peak resident size since the last resetPeak(), from the kernel's own high-water mark.
qint64 peakResident()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// The window on the road, its playout server replaced by a hostile peer on the same port.
struct Station
{
    WindowFixture f{options()};
    HostilePlayoutPeer peer;
    LoopWatch watch;
    qint64 residentBefore = 0;
    int failuresReported = 0;
    int shownUp = 0;

    static app::Options options()
    {
        app::Options o;
        o.debounce = std::chrono::milliseconds(0);
        return o;
    }

    bool start(Mode mode)
    {
        f.server.stopListening();
        if (!peer.listen(f.server.port()))
            return false;
        peer.setMode(mode);
        QObject::connect(f.caspar.get(), &playout::CasparConnection::replied,
                         [this](int code, const QByteArray &) { failuresReported += code >= 400 ? 1 : 0; });
        QObject::connect(f.caspar.get(), &playout::CasparConnection::establishedChanged,
                         [this](bool up) { shownUp += up ? 1 : 0; });
        f.w().findChild<QPushButton *>("cmdCOMStatus")->click();
        f.w().findChild<QCheckBox *>("chkTRIGGER(2)")->click(); // CTS CHANGE
        f.chooser.choices.push_back("/media/back.mov");
        QTest::mouseDClick(f.w().findChild<app::ClickableLabel *>("lblTRIGERMOVIE(2)"), Qt::LeftButton);
        f.w().findChild<app::TabControl *>("SSTab1")->setCurrentIndex(3); // History in sight
        // Painted once with a full page first: the lag to watch is the peer's, not the first paint's.
        for (int i = 0; i < 50; ++i)
            f.w().SetStatus(QStringLiteral("warm-up"));
        QTest::qWait(200);
        f.w().repaint(); // at once, should the machine have been too busy to paint yet
        f.w().history().clear();
        residentBefore = LoopWatch::residentBytes();
        if (!resetPeak())
            return false;
        watch.start();
        f.w().findChild<QPushButton *>("cmdCASPAR")->click();
        return true;
    }

    int plays() const { return int(peer.commands().count("PLAY 1 back.mov")); }
    void fire() { f.port.changeCts(!f.port.cts); }

    // Bounds held throughout, and the program still works: the peer behaves, a slot fires,
    // its PLAY line arrives.
    void checkAfterwards()
    {
        watch.stop();
        const qint64 growth = peakResident() - residentBefore;
        qInfo("peak growth %.1f MiB, worst lag %.1f ms, %d connections, %lld failures sent", double(growth) / (1 << 20),
              watch.worstLagMs(), peer.connections(), qlonglong(peer.failuresSent()));
        QVERIFY2(growth < GrowthBound, qPrintable(QString("grew by %1 MiB").arg(growth >> 20)));
        QVERIFY2(watch.worstLagMs() < LagBound, qPrintable(QString("lag %1 ms").arg(watch.worstLagMs())));
        QVERIFY(f.w().history().bytes() <= f.w().history().byteCapacity());

        peer.setMode(Mode::Behave);
        // After connections that ended at once, one is ready only once it has lasted (5 s); the
        // peer then holds the program's connections (liveness and commands), none left over.
        QTRY_VERIFY_WITH_TIMEOUT(peer.openConnections() == f.caspar->connectionCount()
                                     && f.caspar->state() == playout::CasparConnection::Connected,
                                 15000);
        const int before = plays();
        fire();
        QTRY_COMPARE(plays(), before + 1);
    }
};

} // namespace

class TestHostilePlayout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Failure lines that answer no command are a protocol fault: each connection is reset at
    // the first, with a line (then quiet, as for connections that end at once).
    void failureFlood()
    {
        Station s;
        QVERIFY(s.start(Mode::FailureFlood));
        QTest::qWait(3000);
        QVERIFY2(s.peer.failuresSent() > 100, qPrintable(QString::number(s.peer.failuresSent())));
        for (const QString &line : s.f.w().history().lines())
            QVERIFY(line.size() < app::ActivityLog::MaxLineLength + 40);
        const QStringList faults = s.f.w().history().lines().filter(" : ***Caspar connection lost");
        QVERIFY(!faults.isEmpty() && faults.size() <= 2);
        QVERIFY2(faults.first().contains("***Caspar connection lost: protocol fault: reply \"404 PLAY FAILED xxx"),
                 qPrintable(faults.first()));
        QCOMPARE(s.failuresReported, 0);
        s.checkAfterwards();
    }

    void acceptAndCloseAtOnce()
    {
        Station s;
        QVERIFY(s.start(Mode::AcceptAndClose));
        QTest::qWait(2000);
        QVERIFY2(s.peer.connections() >= 10, qPrintable(QString::number(s.peer.connections())));
        QCOMPARE(s.f.w().history().count(), 2); // the ends of the first two, none ever answered
        QCOMPARE(s.shownUp, 0);
        s.checkAfterwards();
    }

    void unfinishedReplies()
    {
        Station s;
        QVERIFY(s.start(Mode::UnfinishedReplies));
        QTRY_VERIFY(s.f.caspar->isEstablished());
        const QByteArrayList &script = HostilePlayoutPeer::unfinishedScript();
        for (int i = 0; i < 2 * script.size(); ++i) {
            s.fire();
            QTRY_COMPARE(s.plays(), i + 1);
        }
        QTRY_COMPARE(s.failuresReported, 16);
        QCOMPARE(s.peer.failuresSent(), 16);
        QStringList expected;
        for (const QByteArray &reply : script + script) {
            if (reply.left(3).toInt() >= 400)
                expected << "***Caspar replied: " + reply;
        }
        QCOMPARE(s.f.w()
                     .history()
                     .lines()
                     .filter(" : ***Caspar replied: ")
                     .replaceInStrings(QRegularExpression("^.{11}"), ""),
                 expected);
        s.checkAfterwards();
    }
};

QTEST_MAIN(TestHostilePlayout)
#include "tst_hostileplayout.moc"
