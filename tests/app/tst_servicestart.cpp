// The listener started as its service unit starts it, seen from outside: under a service
// manager's notification socket, with no usable port, it reports ready without waiting for
// anyone, connects to the playout server and opens the port once its device appears; after a
// SIGKILL the next start says that the previous run ended without closing, after a clean
// close it does not. The playout server's fixed port is taken in a network namespace of the
// test's own.
#include "amcpresponder.h"
#include "notifysocket.h"
#include "privatenetwork.h"
#include "pseudoterminal.h"

#include "errortrap/childprocess.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One station: its set-up file, log directory and notification socket, and its listener runs.
struct Station
{
    QTemporaryDir dir;
    NotifySocket notify;

    QString setupFile() const { return dir.filePath("setup.ini"); }
    QString device() const { return dir.filePath("tty4"); }
    QString dated(const char *prefix, const char *suffix) const
    {
        return dir.filePath(
            QStringLiteral("logs/%1%2%3").arg(prefix, QDate::currentDate().toString(Qt::ISODate), suffix));
    }
    QByteArray history() const { return readAll(dated("history-", ".log")); }

    void writeSetup(bool portOpen, bool connected)
    {
        QFile file(setupFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[port]\nnumber=4\nspeed=9600\nparity=N\ndata_bits=8\nstop_bits=1\nopen=%1\n"
                                  "[caspar]\naddress=127.0.0.1\nconnected=%2\n")
                       .arg(portOpen ? "true" : "false", connected ? "true" : "false")
                       .toUtf8());
    }

    // Started the way the unit starts it; nothing tells it that it is unattended but the socket.
    std::unique_ptr<ChildProcess> start()
    {
        qputenv("NOTIFY_SOCKET", notify.path());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        const std::vector<std::string> arguments{"--port",    "4=" + device().toStdString(),
                                                 "--restore", setupFile().toStdString(),
                                                 "--log-dir", dir.filePath("logs").toStdString()};
        auto child = std::make_unique<ChildProcess>(LISTENER, arguments);
        qunsetenv("NOTIFY_SOCKET");
        return child;
    }
    bool waitForHistory(const QByteArray &text, int count = 1) const
    {
        return QTest::qWaitFor([&] { return history().count(text) >= count; }, 20000);
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
            QSKIP("no network namespace of our own here");
        AmcpResponder server;
        QVERIFY(server.listen(5250));
        Station s;
        s.writeSetup(true, true);
        auto run = s.start();

        // READY only after the restore: the restored port number is in its status already.
        const int ready = s.notify.waitFor("READY=1");
        QVERIFY2(ready >= 0, run->describe().constData());
        QVERIFY(s.notify.take()[size_t(ready)].text.contains("STATUS=COM 4 closed, "));
        QTRY_VERIFY_WITH_TIMEOUT(server.clientCount() == 1, 20000);
        QVERIFY(s.waitForHistory("***COM port 4 is not open: it is opened as soon as it can be"));

        PseudoTerminal pty;
        QVERIFY(pty.isValid());
        QVERIFY(QFile::link(pty.slavePath(), s.device()));
        QVERIFY2(s.waitForHistory("COM port 4 opened again"), s.history().constData());
        QVERIFY(s.notify.waitFor("STATUS=COM 4 open, Caspar connected, no fire yet") >= 0);
        run->signal(SIGTERM);
        run->waitForEnd();
        QVERIFY2(run->exitedWith(0), run->describe().constData());
        QVERIFY(s.notify.waitFor("STOPPING=1") >= 0);
    }

    void restartIsToldAfterAKillOnly()
    {
        Station s;
        s.writeSetup(false, false);
        auto first = s.start();
        QVERIFY2(s.notify.waitFor("READY=1") >= 0, first->describe().constData());
        QVERIFY(s.waitForHistory("Set-up restored from"));
        first->signal(SIGKILL);
        const QTime killed = QTime::currentTime();
        first->waitForEnd();

        auto second = s.start();
        QVERIFY(s.waitForHistory("Set-up restored from", 2));
        const QByteArray history = s.history();
        const qsizetype at = history.indexOf("Started again: the previous run ended at ");
        QVERIFY2(at >= 0, history.constData());
        const QTime ended = QTime::fromString(QString::fromUtf8(history.mid(at + 41, 8)), "HH:mm:ss");
        QVERIFY2(qAbs(ended.secsTo(killed)) <= 2, history.constData());
        // The first line of the second run, and a row of the as-run record.
        QVERIFY(history.indexOf("Set-up restored from") < at && history.indexOf("Set-up restored from", at) > at);
        QVERIFY(QTest::qWaitFor([&] { return readAll(s.dated("as-run-", ".csv")).contains(",restart,"); }, 20000));

        second->signal(SIGTERM);
        second->waitForEnd();
        QVERIFY2(second->exitedWith(0), second->describe().constData());
        auto third = s.start();
        QVERIFY(s.waitForHistory("Set-up restored from", 3));
        QCOMPARE(s.history().count("Started again"), 1);
        third->signal(SIGTERM);
        third->waitForEnd();
    }

private:
    const bool m_isolated;
};

int main(int argc, char *argv[])
{
    const bool isolated = enterPrivateNetwork(); // before any thread
    QCoreApplication app(argc, argv);
    TestServiceStart test(isolated);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_servicestart.moc"
