// The listener started as its service unit starts it, seen from outside: with no usable port
// it reports ready without waiting for anyone, says why in the journal, connects to the playout
// server and opens the port once its device appears; after a SIGKILL the next start tells of
// it, after a clean close it does not. Started by hand, a restored network port that did not
// open is opened once its server is there. The server's fixed port is taken in a network
// namespace of the test's own.
#include "amcpresponder.h"
#include "filetext.h"
#include "notifysocket.h"
#include "privatenetwork.h"
#include "pseudoterminal.h"

#include "errortrap/childprocess.h"

#include <QDate>
#include <QFile>
#include <QTcpServer>
#include <QTime>

namespace {

struct Station
{
    QTemporaryDir dir;
    NotifySocket notify;

    QString device() const { return dir.filePath("tty4"); }
    QByteArray log(const char *prefix, const char *suffix) const
    {
        return fileBytes(dir.filePath(
            QStringLiteral("logs/%1%2%3").arg(prefix, QDate::currentDate().toString(Qt::ISODate), suffix)));
    }
    bool waitForHistory(const QByteArray &text, int count = 1) const
    {
        return QTest::qWaitFor([&] { return log("history-", ".log").count(text) >= count; }, 20000);
    }
    void writeSetup(const char *open, const char *connected = nullptr)
    {
        QFile file(dir.filePath("setup.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("[port]\nnumber=4\nspeed=9600\nparity=N\ndata_bits=8\nstop_bits=1\nopen=") + open
                   + "\n[caspar]\naddress=127.0.0.1\nconnected=" + (connected ? connected : open) + "\n");
    }
    // As the unit starts it: nothing says that nobody watches but the notification socket.
    // Without it, as a person starts it from a terminal.
    std::unique_ptr<ChildProcess> start(const QString &target = {}, bool asTheUnit = true)
    {
        if (asTheUnit)
            qputenv("NOTIFY_SOCKET", notify.path());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        auto child = std::make_unique<ChildProcess>(
            LISTENER,
            std::vector<std::string>{"--port", "4=" + (target.isEmpty() ? device() : target).toStdString(), "--restore",
                                     dir.filePath("setup.ini").toStdString(), "--log-dir",
                                     dir.filePath("logs").toStdString()});
        qunsetenv("NOTIFY_SOCKET");
        return child;
    }
    bool stop(ChildProcess &child)
    {
        child.signal(SIGTERM);
        child.waitForEnd();
        return child.exitedWith(0);
    }
};

} // namespace

class TestServiceStart : public QObject
{
    Q_OBJECT

public:
    explicit TestServiceStart(bool isolated)
        : m_isolated(isolated)
    {
    }

private Q_SLOTS:
    void startsUnattendedWithoutAPort()
    {
        if (!m_isolated)
            QSKIP("no network namespace of our own here (needs root)");
        AmcpResponder server;
        QVERIFY(server.listen(5250));
        Station s;
        s.writeSetup("true");
        auto run = s.start();
        // READY only after the restore: its status has the restored port number already.
        const int ready = s.notify.waitFor("READY=1");
        QVERIFY2(ready >= 0, run->describe().constData());
        QVERIFY(s.notify.take()[size_t(ready)].text.contains("STATUS=COM 4 closed, "));
        QTRY_VERIFY_WITH_TIMEOUT(server.clientCount() == 1, 20000);
        QVERIFY(s.waitForHistory("***COM port 4 is not open: it is opened as soon as it can be"));
        // The journal gets why, not only that.
        QVERIFY2(run->err().contains("***Err 2. No such file or directory: " + s.device().toUtf8()),
                 run->describe().constData());

        PseudoTerminal pty;
        QVERIFY(QFile::link(pty.slavePath(), s.device()));
        QVERIFY(s.waitForHistory("COM port 4 opened again"));
        QVERIFY(s.notify.waitFor("STATUS=COM 4 open, Caspar connected, no fire yet") >= 0);
        QVERIFY2(s.stop(*run), run->describe().constData());
        QVERIFY(s.notify.waitFor("STOPPING=1") >= 0);
    }

    void restartIsToldAfterAKillOnly()
    {
        Station s;
        s.writeSetup("false");
        auto first = s.start();
        QVERIFY(s.waitForHistory("Set-up restored from"));
        first->signal(SIGKILL);
        const QTime killed = QTime::currentTime();
        first->waitForEnd();

        auto second = s.start();
        QVERIFY(s.waitForHistory("Set-up restored from", 2));
        const QByteArray history = s.log("history-", ".log");
        const qsizetype at = history.indexOf("Started again: the previous run ended at ");
        QVERIFY2(history.indexOf("Set-up restored from") < at && history.indexOf("Set-up restored from", at) > at,
                 history.constData()); // the first line of the second run
        const QTime ended = QTime::fromString(QString::fromUtf8(history.mid(at + 41, 8)), "HH:mm:ss");
        QVERIFY2(qAbs(ended.secsTo(killed)) <= 2, history.constData());
        QVERIFY(QTest::qWaitFor([&] { return s.log("as-run-", ".csv").contains(",restart,"); }, 20000));

        QVERIFY(s.stop(*second));
        auto third = s.start();
        QVERIFY(s.waitForHistory("Set-up restored from", 3));
        QCOMPARE(s.log("history-", ".log").count("Started again"), 1);
        QVERIFY(s.stop(*third));
    }

    // SIGTERM while a box of an attended start waits (no port at all: Error 380) is a clean end:
    // the run marker goes.
    void aSignalAtAStartUpBoxIsACleanEnd()
    {
        Station s;
        s.writeSetup("false");
        std::vector<std::string> args{"--restore", s.dir.filePath("setup.ini").toStdString(), "--log-dir",
                                      s.dir.filePath("logs").toStdString()};
        for (int n = 1; n <= 16; ++n) // every number the start looks at, none there
            args.insert(args.end(), {"--port", std::to_string(n) + "=" + s.device().toStdString()});
        ChildProcess run(LISTENER, args); // no NOTIFY_SOCKET: attended
        QVERIFY(QTest::qWaitFor([&] { return s.log("port-", ".log").contains("Getting Available Com Ports"); }, 20000));
        QVERIFY(QFile::exists(s.dir.filePath("setup.ini.running")));
        QVERIFY2(s.stop(run), run.describe().constData());
        QVERIFY(!QFile::exists(s.dir.filePath("setup.ini.running")));
    }

    // Started by hand, the port's server not there yet: the open fails, and the port is opened
    // as soon as the server is there, as under the unit.
    void aRestoredPortIsOpenedAgainInAnAttendedStartToo()
    {
        QTcpServer later;
        QVERIFY(later.listen(QHostAddress::LocalHost));
        const quint16 serverPort = later.serverPort();
        later.close();
        Station s;
        s.writeSetup("true", "false");
        auto run = s.start(QStringLiteral("rfc2217://127.0.0.1:%1").arg(serverPort), false);
        QVERIFY2(s.waitForHistory("***COM port 4 is not open: it is opened as soon as it can be"),
                 run->describe().constData());
        QVERIFY(later.listen(QHostAddress::LocalHost, serverPort));
        QVERIFY2(s.waitForHistory("COM port 4 opened again"), run->describe().constData());
        QVERIFY(later.hasPendingConnections() || later.waitForNewConnection(0));
        QVERIFY(s.stop(*run));
    }

private:
    const bool m_isolated;
};

int main(int argc, char *argv[])
{
    const bool isolated = enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    TestServiceStart test(isolated);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_servicestart.moc"
