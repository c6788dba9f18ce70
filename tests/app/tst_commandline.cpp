// The built program's command line, seen from outside: what it prints, how it exits, and how
// it starts with --restore and --log-dir on paths that are missing, damaged or unwritable.
// No display: the answers need none, and the window runs on the offscreen platform.
#include "app/station/setuplock.h"
#include "errortrap/childprocess.h"
#include "filetext.h"
#include "pseudoterminal.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Runs the listener without any display.
struct Listener : ChildProcess
{
    explicit Listener(const std::vector<std::string> &arguments, bool window = false)
        : ChildProcess((environment(window), LISTENER), arguments)
    {
    }
    static int environment(bool window)
    {
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        if (window)
            qputenv("QT_QPA_PLATFORM", "offscreen");
        else
            qunsetenv("QT_QPA_PLATFORM");
        return 0;
    }
    bool waitForError(const QByteArray &text)
    {
        return QTest::qWaitFor([&] { return err().contains(text); }, 15000);
    }
    // Ends a running window as a service manager would; it must close cleanly.
    bool terminate()
    {
        signal(SIGTERM);
        waitForEnd(15000);
        return exitedWith(0);
    }
};

QString historyFile(const QString &dir)
{
    return QDir(dir).filePath("history-" + QDate::currentDate().toString(Qt::ISODate) + ".log");
}

bool waitForHistory(const QString &dir, const QByteArray &text)
{
    return QTest::qWaitFor([&] { return fileBytes(historyFile(dir)).contains(text); }, 15000);
}

struct RecordingBox : vantor::app::RefusalBox
{
    QStringList shown;
    void show(const QString &text) override { shown << text; }
};

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answersWithoutAWindow()
    {
        Listener help({"--help"});
        help.waitForEnd();
        QVERIFY2(help.exitedWith(0), help.describe().constData());
        for (const char *option :
             {"--port <N=DEVICE>", "--list-ports", "--debounce-ms <N>", "--restore <FILE>", "--log-dir <DIR>"})
            QVERIFY2(help.out().contains(option), option);

        Listener version({"--version"});
        version.waitForEnd();
        QVERIFY(version.exitedWith(0));
        QCOMPARE(version.out(), QByteArray("vantor-listener " VANTOR_VERSION "\n"));

        Listener list({"--list-ports", "--port", "7=rfc2217://127.0.0.1:7000", "--port", "9=/dev/serial/by-id/usb-x"});
        list.waitForEnd();
        QVERIFY2(list.exitedWith(0), list.describe().constData());
        // Each port says whether this user can open it.
        QVERIFY(list.out().contains("  7  rfc2217://127.0.0.1:7000  (pinned)  "));
        QVERIFY(list.outLines().contains("  9  /dev/serial/by-id/usb-x  (pinned)  missing"));
    }

    void badValuesExitWithTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("port without device") << QStringList{"--port", "3"} << QByteArray("--port 3: ");
        QTest::newRow("port number zero")
            << QStringList{"--port", "0=/dev/ttyUSB0"} << QByteArray("--port 0=/dev/ttyUSB0: ");
        QTest::newRow("debounce not a number")
            << QStringList{"--debounce-ms", "ten"} << QByteArray("--debounce-ms ten: takes 0 to 1000");
        QTest::newRow("debounce negative")
            << QStringList{"--debounce-ms", "-1"} << QByteArray("--debounce-ms -1: takes 0 to 1000");
        QTest::newRow("restore without file") << QStringList{"--restore"} << QByteArray("'--restore'");
        QTest::newRow("no display") << QStringList{} << QByteArray("vantor-listener: no display to show the window on");
        QTest::newRow("status short address")
            << QStringList{"--status", "10.1:9101"} << QByteArray("--status 10.1:9101: takes an IPv4 address");
        QTest::newRow("status port zero") << QStringList{"--status", "0"} << QByteArray("--status 0: takes a port");
        QTest::newRow("confirm port apart")
            << QStringList{"--confirm", "7000"} << QByteArray("--confirm takes its port as --confirm=PORT");
        QTest::newRow("confirm port zero") << QStringList{"--confirm=0"} << QByteArray("--confirm=0: takes a UDP port");
        QTest::newRow("confirm deadline too short")
            << QStringList{"--confirm-ms", "5"} << QByteArray("--confirm-ms 5: takes 40 to 10000");
        QTest::newRow("tally on another line") << QStringList{"--tally", "rts"} << QByteArray("--tally rts: takes dtr");
        const QByteArray siteName("takes a site name of 1 to 64 printable characters");
        QTest::newRow("label not the site")
            << QStringList{"--status", "9101", "--status-label", "env=x"} << QByteArray("takes site=NAME");
        QTest::newRow("site empty") << QStringList{"--status", "9101", "--status-label", "site="} << siteName;
        QTest::newRow("site too long") << QStringList{"--status", "9101", "--status-label", "site=" + QString(65, 'a')}
                                       << siteName;
        QTest::newRow("site with a line break")
            << QStringList{"--status", "9101", "--status-label", "site=a\nb"} << siteName;
        QTest::newRow("site without status") << QStringList{"--status-label", "site=north"}
                                             << QByteArray("--status-label takes effect only with --status");
    }

    void badValuesExitWithTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        std::vector<std::string> args;
        for (const QString &a : arguments)
            args.push_back(a.toStdString());
        Listener bad(args);
        bad.waitForEnd();
        QVERIFY2(bad.exitedWith(2), bad.describe().constData());
        QVERIFY2(bad.err().contains(message), bad.describe().constData());
        QVERIFY(bad.out().isEmpty());
    }

    // A status port that is taken costs the monitoring, not the triggers: the station runs on.
    void statusPortInUseIsReported()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        const std::string port = std::to_string(taken.serverPort());
        Listener run({"--status", port}, true);
        QVERIFY2(run.waitForError("***Status not served: cannot listen on 127.0.0.1:" + QByteArray(port.c_str())),
                 run.describe().constData());
        QVERIFY2(run.terminate(), run.describe().constData());
    }

    // Another program holding the OSC port costs the confirmation, not the triggers.
    void confirmPortInUseIsReported()
    {
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress::Any, 0));
        const std::string port = std::to_string(taken.localPort());
        Listener run({"--confirm=" + port}, true);
        QVERIFY2(run.waitForError("***On-air confirmation off: UDP port " + QByteArray(port.c_str()) + ": "),
                 run.describe().constData());
        QVERIFY2(run.terminate(), run.describe().constData());
    }

    void missingRestoreFileIsCreated()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("config/setup.ini");
        Listener run({"--restore", file.toStdString(), "--log-dir", dir.filePath("logs").toStdString()}, true);
        QVERIFY2(waitForHistory(dir.filePath("logs"), "No set-up in " + file.toUtf8() + " yet: starting empty"),
                 run.describe().constData());
        QVERIFY(QTest::qWaitFor([&] { return fileBytes(file).contains("[triggers]"); }, 15000));
        QVERIFY2(run.terminate(), run.describe().constData());
    }

    void damagedRestoreFileIsKept()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setup.ini");
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly)
                && out.write("\x7f"
                             "ELF\x02\x01 not a set-up\n[port\n")
                    > 0);
        out.close();
        Listener run({"--restore", file.toStdString(), "--log-dir", dir.path().toStdString()}, true);
        QVERIFY2(run.waitForError("***Set-up file " + file.toUtf8() + " damaged ("), run.describe().constData());
        QVERIFY(waitForHistory(dir.path(), "Set-up restored from " + file.toUtf8()));
        QCOMPARE(fileBytes(file + ".bad").left(4),
                 QByteArray("\x7f"
                            "ELF"));
        QVERIFY2(run.terminate(), run.describe().constData());
    }

    // Something else than a regular file at the --restore path is left as it is, and the
    // program starts and ends as usual.
    void oddRestorePathIsLeftAlone_data()
    {
        QTest::addColumn<bool>("device");
        QTest::newRow("fifo") << false;
        QTest::newRow("link to a device") << true;
    }

    void oddRestorePathIsLeftAlone()
    {
        QFETCH(bool, device);
        QTemporaryDir dir;
        const QByteArray file = dir.filePath("setup.ini").toUtf8();
        const QByteArray node = device ? dir.filePath("nullnode").toUtf8() : file;
        if (!device)
            QCOMPARE(::mkfifo(node, 0600), 0);
        else if (::mknod(node, S_IFCHR | 0600, makedev(1, 3)) != 0)
            QSKIP("making a device node takes root");
        if (device)
            QCOMPARE(::symlink(node, file), 0);
        Listener run({"--restore", file.toStdString()}, true);
        QVERIFY2(run.waitForError("***Set-up file " + file + " is not a regular file"), run.describe().constData());
        QVERIFY2(run.terminate(), run.describe().constData());
        struct stat st = {};
        QCOMPARE(::stat(node, &st), 0);
        QVERIFY(device ? S_ISCHR(st.st_mode) : S_ISFIFO(st.st_mode));
        QVERIFY(!QFileInfo::exists(dir.filePath("setup.ini.bad")));
    }

    // A second program on the same set-up file is refused; the log folder removed while the
    // program runs is made again at the next line, and the History says so.
    void aRunningStationKeepsItsFiles()
    {
        PseudoTerminal far;
        QVERIFY(far.isValid());
        QTemporaryDir dir;
        const QString logs = dir.filePath("logs");
        QFile setup(dir.filePath("setup.ini"));
        QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write("[port]\nnumber=1\nopen=true\n") > 0);
        setup.close();
        Listener run({"--port", "1=" + far.slavePath().toStdString(), "--restore", setup.fileName().toStdString(),
                      "--log-dir", logs.toStdString()},
                     true);
        QVERIFY2(waitForHistory(logs, "Set-up restored from "), run.describe().constData());
        Listener second({"--restore", setup.fileName().toStdString()}, true);
        second.waitForEnd();
        QVERIFY2(second.exitedWith(2) && second.err().contains("the set-up file is in use by another running program"),
                 second.describe().constData());
        QVERIFY(QDir(logs).removeRecursively());
        QVERIFY(far.send("after\r\n"));
        QVERIFY2(waitForHistory(logs, "was removed or replaced while in use: written anew from here"),
                 run.describe().constData());
        QVERIFY2(run.terminate(), run.describe().constData());
    }

    // The set-up file keeps the backup server and the confirmation it names: those from the
    // command line serve the run they were given to, and are not saved.
    void aBackupServerAndConfirmationAreSavedOnlyFromTheFile()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("setup.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly)
                && file.write("[caspar]\nbackup_address=127.0.0.3\nconfirm=false\n") > 0);
        file.close();
        const std::string path = file.fileName().toStdString();
        quint16 free = 0;
        {
            QUdpSocket probe;
            QVERIFY(probe.bind(QHostAddress::Any, 0));
            free = probe.localPort();
        }
        Listener run({"--restore", path, "--log-dir", dir.path().toStdString(), "--backup-server", "127.0.0.2",
                      "--confirm=" + std::to_string(free)},
                     true);
        QVERIFY2(waitForHistory(dir.path(), "Set-up restored from "), run.describe().constData());
        QVERIFY2(waitForHistory(dir.path(),
                                "On-air confirmation: the servers' state on UDP port " + QByteArray::number(free)),
                 run.describe().constData());
        QVERIFY2(run.terminate(), run.describe().constData()); // the save of the damaged file is written first
        QVERIFY(fileBytes(file.fileName()).contains("\nbackup_address=127.0.0.3\nconfirm=false\n"));
    }

    // A log folder that cannot be made is told, and the program runs.
    void unwritablePathsAreToldAndTheProgramRuns()
    {
        Listener run({"--log-dir", "/proc/vantor-listener-logs"}, true);
        QVERIFY2(run.waitForError("***Log files not written: /proc/vantor-listener-logs/"), run.describe().constData());
        QVERIFY2(run.terminate(), run.describe().constData());
    }

    // Only a program that holds the set-up file's lock runs on it. Whatever keeps it from the
    // lock, it says why (on standard error, and in the box of an operator at a display) and
    // ends with 2, leaving what is at FILE.lock and the set-up file as they were.
    void aSetUpFileThatCannotBeLockedIsNotRun_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        const QString notRegular = "not a regular file: ";
        QTest::newRow("fifo") << "fifo" << notRegular + "a FIFO";
        QTest::newRow("folder") << "folder" << notRegular + "a folder";
        QTest::newRow("link") << "link" << notRegular + "a symbolic link";
        QTest::newRow("folder that cannot be written") << "under a file" << qt_error_string(ENOTDIR);
    }

    void aSetUpFileThatCannotBeLockedIsNotRun()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QFile regular(dir.filePath("regular"));
        QVERIFY(regular.open(QIODevice::WriteOnly));
        const QString file = (kind == "under a file" ? regular.fileName() : dir.path()) + "/setup.ini";
        const QByteArray lock = QFile::encodeName(file + ".lock");
        QVERIFY(kind == "fifo"         ? ::mkfifo(lock, 0600) == 0
                    : kind == "folder" ? ::mkdir(lock, 0700) == 0
                    : kind == "link"   ? ::symlink(QFile::encodeName(dir.filePath("nowhere")), lock) == 0
                                       : true);
        struct stat before = {}, after = {};
        const bool there = ::lstat(lock, &before) == 0;

        RecordingBox box;
        QVERIFY(!vantor::app::lockForStart(file, &box));
        QVERIFY2(box.shown.size() == 1 && box.shown[0].contains(reason), qPrintable(box.shown.join('\n')));
        Listener run({"--restore", file.toStdString()}, true);
        run.waitForEnd(15000);
        QVERIFY2(run.exitedWith(2) && run.err().contains(reason.toUtf8()), run.describe().constData());
        QCOMPARE(::lstat(lock, &after) == 0, there); // nothing made, replaced or followed
        QVERIFY(!there || (after.st_ino == before.st_ino && after.st_mode == before.st_mode));
        QVERIFY(!QFileInfo::exists(file) && !QFileInfo::exists(dir.filePath("nowhere")));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
