// The station's records on disk: the logs as daily files, the as-run record with the
// server's replies, and what happens when the disk fails or stalls.
#include "logmessages.h"
#include "windowfixture.h"

#include "app/station/logfiles.h"
#include "app/window/clickablelabel.h"
#include "app/window/lamp.h"

#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantor;
using app::LogFiles;

namespace {

// Reads CSV as a spreadsheet would: quoted fields, doubled quotes, CR LF row ends.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << std::exchange(field, {});
        } else if (c == '\n') {
            row << std::exchange(field, {});
            rows << std::exchange(row, {});
        } else if (c != '\r') {
            field += c;
        }
    }
    return rows;
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

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
    void goOnAir()
    {
        click("cmdCOMStatus");
        click("cmdCASPAR");
        QVERIFY(QTest::qWaitFor([&] { return f.w().findChild<app::Lamp *>("shpCASPAR")->fillColor() == 65280u; }));
    }
    void click(const char *name) { f.w().findChild<QPushButton *>(name)->click(); }
    void arm(int slot, const QString &chosen)
    {
        f.w().findChild<QCheckBox *>(QStringLiteral("chkTRIGGER(%1)").arg(slot))->click();
        if (chosen.isEmpty())
            return;
        f.chooser.choices.push_back(chosen);
        QTest::mouseDClick(f.w().findChild<app::ClickableLabel *>(QStringLiteral("lblTRIGERMOVIE(%1)").arg(slot)),
                           Qt::LeftButton);
    }
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
        s.f.server.setReplier(AmcpResponder::failingClip("missing"));
        s.goOnAir();
        s.arm(0, QStringLiteral("/media/a,\"b\".mov"));
        s.arm(1, {});
        s.arm(3, QStringLiteral("/media/missing.mov"));
        s.f.port.changeCts(true);
        s.f.port.changeDsr(true);
        s.f.port.changeCts(false);
        QTRY_COMPARE(s.f.server.lineCount(), 2);
        QTRY_COMPARE(parseCsv(readAll(s.path(LogFiles::AsRun))).size(), 4);
        s.click("cmdCASPAR");
        s.f.port.changeCts(true);

        const QString text = readAll(s.path(LogFiles::AsRun));
        QVERIFY(text.contains(QStringLiteral(",\"a,\"\"b\"\".mov\",")));
        QList<QStringList> rows;
        QTRY_COMPARE((rows = parseCsv(readAll(s.path(LogFiles::AsRun)))).size(), 5);
        QCOMPARE(rows[0], (QStringList{"time", "line", "slot", "movie", "outcome", "reply code", "reply", "reply ms"}));
        const QStringList expected[] = {
            {"CTS ON", "CTS ON", "a,\"b\".mov", "sent", "202", "202 PLAY OK"},
            {"DSR ON", "DSR ON", "missing.mov", "sent", "404", "404 PLAY FAILED"},
            {"CTS OFF", "CTS OFF", "", "Empty movie", "", ""},
            {"CTS ON", "CTS ON", "a,\"b\".mov", "Caspar not ready", "", ""},
        };
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(rows[i + 1].mid(1, 6), expected[i]);
            const QDateTime when = QDateTime::fromString(rows[i + 1][0], QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
            QVERIFY2(qAbs(when.msecsTo(QDateTime::currentDateTime())) < 60000, qPrintable(rows[i + 1][0]));
        }

        // The logs' files hold the window's lines, dated, as soon as they are written.
        for (auto [stream, log] :
             {std::pair{LogFiles::History, &s.f.w().history()}, std::pair{LogFiles::Port, &s.f.w().portLog()}}) {
            QStringList expectedLines;
            for (const QString &line : log->lines())
                expectedLines << QDate::currentDate().toString(Qt::ISODate) + ' ' + line;
            QTRY_COMPARE(readAll(s.path(stream)).split('\n', Qt::SkipEmptyParts), expectedLines);
        }
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
            QCOMPARE(rows[i], expected[i]);
    }

    void fullDiskIsToldOnceAndWritingResumes()
    {
        QTemporaryDir dir;
        const QString history = dir.filePath("history-" + QDate::currentDate().toString(Qt::ISODate) + ".log");
        QVERIFY(QFile::link("/dev/full", history));
        Station s(dir.path());
        for (int i = 0; i < 3; ++i)
            s.f.w().SetStatus(QStringLiteral("line %1").arg(i));
        QTRY_COMPARE(s.historyCount("***Log files not written: " + history + ": No space left on device"), 1);

        QVERIFY(QFile::remove(history)); // space frees
        s.f.w().SetStatus(QStringLiteral("after"));
        QTRY_COMPARE(s.historyCount("Log files written again in " + dir.path()), 1);
        const auto lines = [&] { return readAll(history).split('\n', Qt::SkipEmptyParts); };
        QTRY_VERIFY(lines().value(lines().size() - 1).endsWith(" : Log files written again in " + dir.path()));
        QVERIFY2(QRegularExpression(R"(^\S+ \S+ : \*\*\* [3-9] lines missing here: No space left on device$)")
                     .match(lines().first())
                     .hasMatch(),
                 qPrintable(lines().first()));
        QVERIFY(lines().filter(QRegularExpression(" : line \\d$")).isEmpty());
        QCOMPARE(lines().filter(QRegularExpression(" : after$")).size(), 1);
        QCOMPARE(s.historyCount("***Log files"), 1);
    }

    void unwritableDirectoryIsToldOnce()
    {
        QTemporaryDir dir;
        QFile regular(dir.filePath("regular"));
        QVERIFY(regular.open(QIODevice::WriteOnly));
        Station s(regular.fileName() + "/logs");
        s.goOnAir();
        s.arm(0, "/media/on.mov");
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

    // A write that never returns (a FIFO nobody reads stands for a hung disk) holds up no
    // trigger; the lines it cannot take are counted and noted.
    void aStalledDiskDelaysNoTrigger()
    {
        QTemporaryDir dir;
        const QString history = dir.filePath("history-" + QDate::currentDate().toString(Qt::ISODate) + ".log");
        QCOMPARE(mkfifo(QFile::encodeName(history).constData(), 0600), 0);
        Station s(dir.path());
        s.goOnAir();
        s.arm(0, "/media/on.mov");
        s.f.port.changeCts(true);
        QTRY_COMPARE(s.f.server.lineCount(), 1);
        // The writer may take one more batch before it stalls on its first History line.
        for (int i = 0; i < 2 * app::LogFileWriter::DefaultCapacity + 100; ++i)
            s.f.w().SetStatus(QStringLiteral("filler %1").arg(i));
        QTRY_COMPARE(s.historyCount("***Log files: lines dropped, the disk is too slow"), 1);
        s.f.port.changeCts(false);
        s.f.port.changeCts(true);
        QTRY_COMPARE(s.f.server.lineCount(), 2);

        const int reader = ::open(QFile::encodeName(history).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QByteArray seen;
        const auto drain = [&] {
            char buffer[65536];
            for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
                seen.append(buffer, n);
            return seen.contains("lines missing here: the disk was too slow");
        };
        QVERIFY(QTest::qWaitFor(drain, 10000));
        s.f.w().SetStatus(QStringLiteral("unblocked"));
        QVERIFY(QTest::qWaitFor([&] { return drain() && seen.contains(" : unblocked\n"); }, 10000));
        s.files.reset(); // before the FIFO loses its reader
        ::close(reader);
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
