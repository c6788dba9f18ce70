// The station's records on disk: the logs as daily files, the as-run record with the
// server's replies, and what happens when the disk fails or stalls.
#include "filetext.h"
#include "logmessages.h"
#include "windowfixture.h"

#include "app/monitor/runmarker.h"
#include "app/station/csvwriter.h"
#include "app/station/logfiles.h"

#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantor;
using app::LogFiles;

namespace {

int countLines(const app::ActivityLog &log, const QString &start)
{
    int n = 0;
    for (const QString &message : logMessages(log))
        n += message.startsWith(start);
    return n;
}

// The window on air with its records in a temporary directory.
struct Station
{
    QTemporaryDir dir;
    WindowFixture f{options(), false};
    std::unique_ptr<LogFiles> files;

    static app::Options options()
    {
        app::Options o;
        o.debounce = std::chrono::milliseconds(0);
        return o;
    }
    explicit Station(const QString &logDir = {})
    {
        files = std::make_unique<LogFiles>(logDir.isEmpty() ? dir.path() : logDir, f.w(), f.port);
        f.w().Form_Load();
    }
    QString path(LogFiles::StreamIndex stream) const { return files->writer().fileName(stream, QDate::currentDate()); }
    void goOnAir() { QVERIFY(f.goOnAir()); }
    void click(const char *name) { f.w().findChild<QPushButton *>(name)->click(); }
    int historyCount(const QString &start) const { return countLines(f.window->history(), start); }
};

} // namespace

class TestLogFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyFiringIsOneRowWithItsReply()
    {
        Station s;
        s.f.server.setReplier([](const QByteArray &line) {
            return line.contains("missing") ? QByteArrayList{"404 PLAY FAILED \x1b[2J\x07"}
                                            : AmcpResponder::standardReply(line);
        });
        s.goOnAir();
        s.f.arm(0, QStringLiteral("/media/a,\"b\".mov"));
        s.f.w().findChild<QCheckBox *>("chkTRIGGER(1)")->click(); // armed without a movie
        s.f.arm(3, QStringLiteral("/media/missing.mov"));
        s.f.port.changeCts(true);
        s.f.port.changeDsr(true);
        s.f.port.changeCts(false);
        QTRY_COMPARE(s.f.server.lineCount(), 2);
        QTRY_COMPARE(parseCsv(fileText(s.path(LogFiles::AsRun))).size(), 4);
        s.click("cmdCASPAR");
        s.f.port.changeCts(true);

        const QString text = fileText(s.path(LogFiles::AsRun));
        QVERIFY(text.contains(QStringLiteral(",\"a,\"\"b\"\".mov\",")));
        QTRY_COMPARE(parseCsv(fileText(s.path(LogFiles::AsRun))).size(), 5);
        s.files->restarted("Started again");
        QList<QStringList> rows;
        QTRY_COMPARE((rows = parseCsv(fileText(s.path(LogFiles::AsRun)))).size(), 6);
        for (const QStringList &row : rows)
            QCOMPARE(row.size(), 9); // every column in every row
        QCOMPARE(rows[5].mid(1, 4), (QStringList{"restart", "", "", "Started again"}));
        QCOMPARE(
            rows[0],
            (QStringList{"time", "line", "slot", "movie", "outcome", "reply code", "reply", "reply ms", "command"}));
        const QStringList expected[] = {
            {"CTS ON", "CTS ON", "a,\"b\".mov", "sent", "202", "202 PLAY OK", "PLAY 1 \"a,\\\"b\\\".mov\""},
            {"DSR ON", "DSR ON", "missing.mov", "sent", "404", "404 PLAY FAILED \\x1b[2J\\x07", "PLAY 1 missing.mov"},
            {"CTS OFF", "CTS OFF", "", "Empty movie", "", "", ""},
            {"CTS ON", "CTS ON", "a,\"b\".mov", "Caspar not ready", "", "", ""},
        };
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(rows[i + 1].mid(1, 6) + QStringList{rows[i + 1].value(8)}, expected[i]); // past the reply ms
            const QDateTime when = QDateTime::fromString(rows[i + 1][0], QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
            QVERIFY2(qAbs(when.msecsTo(QDateTime::currentDateTime())) < 60000, qPrintable(rows[i + 1][0]));
        }

        // The logs' files hold the window's lines, dated, as soon as they are written.
        for (auto [stream, log] :
             {std::pair{LogFiles::History, &s.f.w().history()}, std::pair{LogFiles::Port, &s.f.w().portLog()}}) {
            QStringList expectedLines;
            for (const QString &line : log->lines())
                expectedLines << QDate::currentDate().toString(Qt::ISODate) + ' ' + LogFiles::escapeControls(line);
            QTRY_COMPARE(fileText(s.path(stream)).split('\n', Qt::SkipEmptyParts), expectedLines);
        }
    }

    // A day's as-run file begun with the on-air columns, or without them, keeps its header and
    // its rows that form, so that no file mixes two; a new file has the run's own.
    void aDaysFileKeepsItsForm_data()
    {
        QTest::addColumn<bool>("onAirColumns");
        QTest::addColumn<int>("begunWith"); // -1: a new file; 0 or 1: begun without or with them
        QTest::newRow("confirming, begun without") << true << 0;
        QTest::newRow("confirming, new") << true << -1;
        QTest::newRow("not confirming, begun with") << false << 1;
    }

    void aDaysFileKeepsItsForm()
    {
        QFETCH(bool, onAirColumns);
        QFETCH(int, begunWith);
        QTemporaryDir dir;
        const QString path = dir.filePath("as-run-" + QDate::currentDate().toString(Qt::ISODate) + ".csv");
        QFile file(path);
        QVERIFY(begunWith < 0
                || (file.open(QIODevice::WriteOnly)
                    && file.write(app::csvRow(app::AsRunRecord::header(begunWith == 1))) > 0));
        file.close();
        WindowFixture f({}, false);
        LogFiles files(dir.path(), f.w(), f.port, onAirColumns);
        files.restarted("Started again");
        QList<QStringList> rows;
        QTRY_COMPARE((rows = parseCsv(fileText(path))).size(), 2);
        QCOMPARE(rows[0], app::AsRunRecord::header(begunWith < 0 ? onAirColumns : begunWith == 1));
        QCOMPARE(rows[1].size(), rows[0].size());
    }

    // Each row takes its own command's reply, whenever it comes; rows keep the firing order.
    void unansweredCommandsEndCleanly()
    {
        QList<QStringList> rows;
        std::optional<app::AsRunRecord> record(std::in_place,
                                               [&](qint64, const QStringList &columns) { rows << columns; });
        const auto fire = [&](const char *movie, bool test = false) {
            auto reply = std::make_shared<playout::PendingReply>();
            record->fired({QDateTime::currentDateTime(), 2, test, QString::fromLatin1(movie), true,
                           QStringLiteral("Fire Trigger. Play movie ") + movie, 0, reply},
                          QStringLiteral("CTS OFF"));
            return reply;
        };
        const auto answer = [](int code, const QByteArray &line) { return playout::CommandReply{true, code, line, 2}; };
        auto slow = fire("slow.mov");
        auto next = fire("next.mov");
        next->deliver(answer(404, "404 PLAY FAILED"));
        QCOMPARE(rows.size(), 0); // behind slow.mov
        slow->deliver({false, -1, {}, 1500, QStringLiteral("no answer for 1.5 s")});
        fire("cut.mov")->deliver({false, -1, {}, 3, QStringLiteral("the connection ended")});
        auto check = std::make_shared<playout::PendingReply>();
        check->deliver(answer(202, "202 PLAY OK")); // answered before it is recorded
        record->fired({QDateTime::currentDateTime(), 2, true, "check.mov", true, {}, 1, check}, {});
        fire("last.mov");
        record.reset();
        const QStringList expected[] = {
            {"CTS OFF", "CTS CHANGE", "slow.mov", "sent", "", "no reply: no answer for 1.5 s", "1500.0"},
            {"CTS OFF", "CTS CHANGE", "next.mov", "sent", "404", "404 PLAY FAILED", "2.0"},
            {"CTS OFF", "CTS CHANGE", "cut.mov", "sent", "", "no reply: the connection ended", "3.0"},
            {"test fire", "CTS CHANGE", "check.mov", "sent (backup)", "202", "202 PLAY OK", "2.0"},
            {"CTS OFF", "CTS CHANGE", "last.mov", "sent", "", "no reply: the program ended", ""},
        };
        QCOMPARE(rows.size(), 5);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(rows[i].first(7), expected[i]);
    }

    void refusedFileIsToldOnceAndWritingResumes()
    {
        QTemporaryDir dir;
        const QString history = dir.filePath("history-" + QDate::currentDate().toString(Qt::ISODate) + ".log");
        QVERIFY(QFile::link("/dev/full", history));
        QVERIFY(QFile::link("/dev/full", dir.filePath("port-" + QDate::currentDate().toString(Qt::ISODate) + ".log")));
        Station s(dir.path());
        for (int i = 0; i < 3; ++i)
            s.f.w().SetStatus(QStringLiteral("line %1").arg(i));
        QTRY_COMPARE(s.historyCount("***Log files not written: " + dir.path()), 1); // a device is no log file
        // Both writers have tried every line so far (the first failure told may be either's).
        QTRY_COMPARE(s.files->writer().droppedLines(), quint64(s.f.w().history().count() + s.f.w().portLog().count()));

        QVERIFY(QFile::remove(history)); // space frees; the port log, failed too, has nothing new
        s.f.w().SetStatus(QStringLiteral("after"));
        QTRY_COMPARE(s.historyCount("Log files written again in " + dir.path()), 1);
        const auto lines = [&] { return fileText(history).split('\n', Qt::SkipEmptyParts); };
        QTRY_VERIFY(lines().value(lines().size() - 1).endsWith(" : Log files written again in " + dir.path()));
        QVERIFY2(QRegularExpression(R"(^\S+ \S+ : \*\*\* [3-9] lines missing here: not a regular file$)")
                     .match(lines().first())
                     .hasMatch(),
                 qPrintable(lines().first()));
        QVERIFY(lines().filter(QRegularExpression(" : line \\d$")).isEmpty());
        QCOMPARE(lines().filter(QRegularExpression(" : after$")).size(), 1);
        QCOMPARE(s.historyCount("***Log files"), 1);
    }

    // Text from peers and operators is inert: no formula in the CSV, no terminal command in a log.
    void hostileTextIsInert_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QString>("log");
        QTest::newRow("formula") << "=HYPERLINK(\"x\",\"y\")" << QByteArray("\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\"")
                                 << "=HYPERLINK(\"x\",\"y\")";
        QTest::newRow("minus") << "-2+3" << QByteArray("'-2+3") << "-2+3";
        QTest::newRow("cr") << "\r=1" << QByteArray("\"'\r=1\"") << "\\r=1";
        QTest::newRow("terminal title and clear")
            << QStringLiteral("\x1b]0;t\x07\x1b[2J\u009b") << QByteArray("\x1b]0;t\x07\x1b[2J\xc2\x9b")
            << "\\x1b]0;t\\x07\\x1b[2J\\x9b";
    }

    void hostileTextIsInert()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, csv);
        QFETCH(QString, log);
        QCOMPARE(app::csvRow({text, "a"}), csv + ",a\r\n");
        QCOMPARE(LogFiles::escapeControls(text), log);
    }

    void unwritableDirectoryIsToldOnce()
    {
        QTemporaryDir dir;
        QFile regular(dir.filePath("regular"));
        QVERIFY(regular.open(QIODevice::WriteOnly));
        Station s(regular.fileName() + "/logs");
        s.goOnAir();
        s.f.arm(0, "/media/on.mov");
        for (int i = 0; i < 5; ++i) {
            s.f.w().SetStatus(QStringLiteral("line %1").arg(i));
            s.f.w().SetStatus1(QStringLiteral("port line %1").arg(i));
            s.f.port.changeCts(i % 2 == 0);
        }
        QTRY_COMPARE(s.historyCount("***Log files not written: " + regular.fileName() + "/logs/"), 1);
        QTest::qWait(200);
        QCOMPARE(s.historyCount("***Log files"), 1);
        QTRY_COMPARE(s.f.server.lineCount(), 3); // and the station carries on
    }

    // A FIFO in place of a log file is refused at once, read or not: the other files and the
    // triggers go on, and nothing goes into it.
    void aFifoInPlaceOfALogIsRefused()
    {
        QTemporaryDir dir;
        const QString history = dir.filePath("history-" + QDate::currentDate().toString(Qt::ISODate) + ".log");
        QCOMPARE(mkfifo(QFile::encodeName(history).constData(), 0600), 0);
        const int reader = ::open(QFile::encodeName(history).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        Station s(dir.path());
        s.goOnAir();
        s.f.arm(0, "/media/on.mov");
        s.f.port.changeCts(true);
        QTRY_COMPARE(s.f.server.lineCount(), 1);
        QTRY_COMPARE(s.historyCount("***Log files not written: " + history + ": not a regular file"), 1);
        QTRY_VERIFY(fileText(s.path(LogFiles::AsRun)).contains(",on.mov,"));
        QTRY_VERIFY(fileText(s.path(LogFiles::Port)).contains("Opening COM Port"));
        char byte = 0;
        QCOMPARE(::read(reader, &byte, 1), 0);
        ::close(reader);
    }

    // A file that hangs (a format that blocks stands for a hung mount) holds up only its own
    // lines; the stall is told, and so is its end. Meanwhile its queue keeps lines, each cut
    // first, up to its bytes: a flood beyond is dropped and told.
    void aHungFileHoldsUpOnlyItself()
    {
        QTemporaryDir dir;
        QSemaphore release;
        const auto plain = [](const QDateTime &, const QStringList &fields, QDate &day) {
            day = QDate::currentDate();
            return fields.value(0).toUtf8() + '\n';
        };
        const auto note = [](const QDateTime &, const QString &text) { return text.toUtf8() + '\n'; };
        const auto hung = [&](const QDateTime &at, const QStringList &fields, QDate &day) {
            release.acquire();
            return plain(at, fields, day);
        };
        app::LogFileWriter writer(dir.path(), {{"hung-", ".log", {}, hung, note}, {"fine-", ".log", {}, plain, note}},
                                  16, 64 * 1024, std::chrono::milliseconds(100));
        const auto unblock = qScopeGuard([&] { release.release(1 << 20); }); // should a check fail
        QSignalSpy failed(&writer, &app::LogFileWriter::failed);
        QSignalSpy recovered(&writer, &app::LogFileWriter::recovered);
        QSignalSpy dropped(&writer, &app::LogFileWriter::dropped);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        writer.post(0, now, {"stuck"});
        writer.post(1, now, {"written"});
        QTRY_COMPARE_WITH_TIMEOUT(fileText(writer.fileName(1, QDate::currentDate())), QString("written\n"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 60000);
        QVERIFY2(failed[0][1].toString().startsWith("a write has been pending for "),
                 qPrintable(failed[0][1].toString()));
        for (int i = 0; i < 100; ++i)
            writer.post(0, now, {QString(100000, 'x')});
        const quint64 kept = 100 - writer.droppedLines();
        QVERIFY2(kept > 0 && kept * 2 * app::LogFileWriter::MaxFieldLength < 64 * 1024,
                 qPrintable(QString::number(kept)));
        QTRY_COMPARE(dropped.size(), 1);
        release.release(1 << 20);
        QVERIFY(recovered.wait(60000));
        QTRY_VERIFY(fileText(writer.fileName(0, QDate::currentDate()))
                        .endsWith(QString(8192, 'x') + " …[91808 more characters cut]\n"));
    }

    // A run marker in a folder that hangs (a touch that blocks stands for it) holds up the end
    // a bounded time, as the file writers do; it goes once the folder answers.
    void aHungRunMarkerHoldsUpTheEndABoundedTime()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("setup.ini.running");
        QSemaphore touching, release;
        const auto unblock = qScopeGuard([&] { release.release(1 << 20); }); // should a check fail
        auto marker = std::make_unique<app::RunMarker>(path, [&](int) { touching.release(), release.acquire(); });
        QVERIFY(touching.tryAcquire(1, 60000));
        marker.reset(); // returns, after at most WriterThread::DefaultStopLimit
        QVERIFY(QFileInfo::exists(path));
        release.release();
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(path), 60000);
    }

    void linesStampedBeforeMidnightBelongToThatDay()
    {
        const QDateTime afterMidnight(QDate(2024, 3, 1), QTime(0, 0, 0, 5));
        QCOMPARE(LogFiles::dateOf(QStringLiteral("23:59:59 : late"), afterMidnight), QDate(2024, 2, 29));
        QCOMPARE(LogFiles::dateOf(QStringLiteral("00:00:00 : early"), afterMidnight), QDate(2024, 3, 1));
    }
};

QTEST_MAIN(TestLogFiles)
#include "tst_logfiles.moc"
