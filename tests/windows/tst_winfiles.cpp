// The station's files on Windows: only a regular file is read, locked, appended to or replaced.
// A device name is refused before anything is opened (COM1 would raise a port's lines), and a
// directory, a reparse point or a pipe in a file's place is refused and left as it is.
//
// The fixture folder (VANTOR_FIXTURE, made on the Linux side by the test's set-up) holds what
// a Windows program under Wine cannot make: a directory link, which Wine shows as a reparse
// point, and a FIFO, which it opens as a pipe.
#include "app/monitor/runmarker.h"
#include "app/station/appendfile.h"
#include "app/station/setupfile.h"
#include "app/station/setuplock.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <io.h>

using namespace vantor::app;

class TestWinFiles : public QObject
{
    Q_OBJECT

private slots:
    void refusesWhatIsNoRegularFile_data();
    void refusesWhatIsNoRegularFile();
    void secondLockOfOneFileIsInUse();
    void runMarkerTellsADeadRunAndGoesAtAClose();
    void logFileRemovedOrRotatedWhileOpenIsSeen();

private:
    QTemporaryDir m_dir;
};

namespace {
const QString DeviceName = QStringLiteral("a device name, not a file");
const QString DevicePath = QStringLiteral("a device path, not a file");
const QString NotRegular = QStringLiteral("not a regular file");

QString fixture(const QString &name)
{
    return QDir(qEnvironmentVariable("VANTOR_FIXTURE")).filePath(name);
}
} // namespace

void TestWinFiles::refusesWhatIsNoRegularFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason"); // why the lock is refused, before or after opening
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("folder")));
    QTest::newRow("NUL") << QStringLiteral("NUL") << DeviceName;
    QTest::newRow("nul.ini in a folder") << m_dir.filePath(QStringLiteral("nul.ini")) << DeviceName;
    QTest::newRow("CON") << QStringLiteral("con") << DeviceName;
    QTest::newRow("COM1") << QStringLiteral("COM1") << DeviceName;
    QTest::newRow("COM9 with a colon") << m_dir.filePath(QStringLiteral("com9:")) << DeviceName;
    QTest::newRow("LPT1.log") << QStringLiteral("C:\\LPT1.log") << DeviceName;
    QTest::newRow("CONOUT$") << QStringLiteral("CONOUT$") << DeviceName;
    QTest::newRow("\\\\.\\COM1") << QStringLiteral("\\\\.\\COM1") << DevicePath;
    QTest::newRow("\\\\?\\GLOBALROOT") << QStringLiteral("\\\\?\\GLOBALROOT\\Device\\Serial0") << DevicePath;
    QTest::newRow("directory") << m_dir.filePath(QStringLiteral("folder")) << NotRegular;
    QTest::newRow("directory link (reparse point)") << fixture(QStringLiteral("folder-link")) << NotRegular;
    QTest::newRow("FIFO (a pipe)") << fixture(QStringLiteral("fifo")) << NotRegular;
}

void TestWinFiles::refusesWhatIsNoRegularFile()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);

    const SetupFile::Loaded loaded = SetupFile::parse(path);
    QVERIFY(loaded.found);
    QVERIFY(!loaded.regular);
    QCOMPARE(loaded.problems, QStringList{NotRegular});
    QVERIFY(SetupFile::regularTarget(path).isEmpty());

    const LockedFile lock = lockRegularFile(path);
    QCOMPARE(lock.fd, -1);
    QVERIFY(!lock.inUse);
    QCOMPARE(lock.reason, reason);

    AppendFile log;
    QVERIFY(!log.open(path));
    QCOMPARE(log.error(), reason);

    SetupFile file(path);
    QSignalSpy failed(&file, &SetupFile::failed);
    file.save(Setup());
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().first().toString(), NotRegular);
    // Nothing was made in its place nor beside it.
    QVERIFY(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestWinFiles::secondLockOfOneFileIsInUse()
{
    const QString path = m_dir.filePath(QStringLiteral("setup.ini.lock"));
    const LockedFile first = lockRegularFile(path);
    QVERIFY2(first.fd >= 0, qPrintable(first.reason));
    const LockedFile second = lockRegularFile(path);
    QCOMPARE(second.fd, -1);
    QVERIFY(second.inUse);
    ::_close(first.fd);
    const LockedFile third = lockRegularFile(path);
    QVERIFY2(third.fd >= 0, qPrintable(third.reason));
    ::_close(third.fd);
}

void TestWinFiles::runMarkerTellsADeadRunAndGoesAtAClose()
{
    const QString path = m_dir.filePath(QStringLiteral("setup.ini.running"));
    {
        QFile dead(path);
        QVERIFY(dead.open(QIODevice::WriteOnly));
        dead.write("vantor-listener running, pid 1, since then\n");
    }
    const QDateTime lastSeen = QFileInfo(path).lastModified();
    {
        RunMarker marker(path);
        QVERIFY2(marker.problem().isEmpty(), qPrintable(marker.problem()));
        QVERIFY(marker.previousEnd().has_value());
        QCOMPARE(marker.previousEnd()->toSecsSinceEpoch(), lastSeen.toSecsSinceEpoch());
        RunMarker second(path);
        QCOMPARE(second.problem(), QStringLiteral("in use by another running program"));
        const QDateTime written = QFileInfo(path).lastModified();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).lastModified() > written, 10000); // touched while it runs
    }
    QVERIFY(!QFileInfo::exists(path));
    RunMarker fresh(path);
    QVERIFY(!fresh.previousEnd().has_value());
}

void TestWinFiles::logFileRemovedOrRotatedWhileOpenIsSeen()
{
    const QString path = m_dir.filePath(QStringLiteral("history-2024-01-01.log"));
    {
        QFile cut(path);
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write("a line cut short");
    }
    AppendFile log;
    QVERIFY2(log.open(path), qPrintable(log.error()));
    QVERIFY(!log.endedLine());
    QVERIFY(log.write("\nsecond\n"));
    QVERIFY(!log.vanished(path));

    // Renamed away, and another file made in its place (as a log rotation does).
    QVERIFY(QFile::rename(path, m_dir.filePath(QStringLiteral("history-2024-01-01.old"))));
    QVERIFY(log.vanished(path));
    QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    QVERIFY(log.vanished(path));
    QVERIFY(log.open(path));
    QVERIFY(log.endedLine());
    QVERIFY(!log.vanished(path));
    // A removal alone cannot be tried here: Wine keeps the name of a removed file until its
    // last handle closes, and says nothing of it. Windows 10 takes the name away at once (the
    // path no longer opens), older Windows marks the file delete-pending: vanished() sees both.
}

QTEST_GUILESS_MAIN(TestWinFiles)
#include "tst_winfiles.moc"
