// The network serial port against the contact simulator's server over loopback.
#include "contactserver.h"

#include "errortrap/runtimeerror.h"
#include "serial/rfc2217/rfc2217backend.h"
#include "serial/rfc2217/rfc2217server.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vantor::serial;
using Input = ContactServer::Input;

namespace {

struct RecordingSink : PortSink
{
    std::vector<CommEvent> events;
    std::vector<std::pair<qint32, QString>> losses;
    QStringList notices;

    void event(CommEvent e) override { events.push_back(std::move(e)); }
    void lost(qint32 number, const QString &description) override { losses.emplace_back(number, description); }
    void notice(const QString &line) override { notices << line; }

    std::vector<std::pair<qint16, bool>> lines() const
    {
        std::vector<std::pair<qint16, bool>> out;
        for (const auto &e : events)
            if (e.code >= comm::Cts && e.code <= comm::Cd)
                out.emplace_back(e.code, e.level);
        return out;
    }
};

Rfc2217Backend::Timing fastTiming()
{
    Rfc2217Backend::Timing t;
    t.snapshotMs = 50;
    t.settleMs = 300;
    return t;
}

SettingsString settings(const char *text)
{
    return *SettingsString::parse(QString::fromLatin1(text));
}

} // namespace

class TestRfc2217Backend : public QObject
{
    Q_OBJECT

    ContactServer *server = nullptr;
    QString target;

    // Opens the backend and waits until the server has every setting and mask and the
    // backend takes modem states as changes.
    void openAndSettle(Rfc2217Backend &backend, RecordingSink &sink, const char *line = "9600,N,8,1")
    {
        QElapsedTimer clock;
        clock.start();
        backend.open(target, settings(line), sink);
        QTRY_VERIFY(server->state().lineMask >= 0);
        QTest::qWait(std::max<int>(0, fastTiming().snapshotMs + 10 - int(clock.elapsed())));
    }

private Q_SLOTS:
    void init()
    {
        server = new ContactServer(this);
        QVERIFY(server->listen(QHostAddress::LocalHost));
        target = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server->port());
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void theServerGetsSettingsControlsAndMasks()
    {
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink, "19200,E,7,2");
        const auto &s = server->state();
        QCOMPARE(s.baudRate, 19200u);
        QCOMPARE(s.dataSize, 7);
        QCOMPARE(s.parity, 3);
        QCOMPARE(s.stopSize, 2);
        QCOMPARE(s.flowControl, 1);
        QVERIFY(s.dtr);
        QVERIFY(s.rts);
        QCOMPARE(s.modemMask, 0xFF);
        QCOMPARE(s.lineMask, 0x1E);
        QTest::qWait(400); // past the settle time: a well-behaved server leaves nothing to say
        QVERIFY2(sink.notices.isEmpty(), qPrintable(sink.notices.join(QLatin1Char('\n'))));
    }

    void contactChangesBecomeLineEventsWithTheirLevel()
    {
        server->setContact(Input::Cts, true); // closed before the port opens: no event for it
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink);
        QTRY_VERIFY(backend.cts());
        server->setContact(Input::Cts, false);
        server->setContact(Input::Dsr, true);
        server->setContact(Input::Cd, true);
        using L = std::vector<std::pair<qint16, bool>>;
        QTRY_COMPARE(sink.lines(), (L{{comm::Cts, false}, {comm::Dsr, true}, {comm::Cd, true}}));
        QVERIFY(!backend.cts());
        QVERIFY(backend.dsr());
    }

    void aPulseBetweenTwoNotificationsGivesOnThenOff()
    {
        ContactServer::Behaviour slow;
        slow.notifyDelayMs = 50; // the server looks at its lines every 50 ms
        server->setBehaviour(slow);
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink);
        server->pulse(Input::Cts, 5);
        using L = std::vector<std::pair<qint16, bool>>;
        QTRY_COMPARE(sink.lines(), (L{{comm::Cts, true}, {comm::Cts, false}}));
        QTest::qWait(100);
        QCOMPARE(sink.lines().size(), std::size_t(2));
        QVERIFY(!backend.cts());
    }

    void aServerThatNeverAcknowledgesTheMaskStillWorks()
    {
        ContactServer::Behaviour mute;
        mute.acknowledgeMasks = false;
        server->setBehaviour(mute);
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink);
        QTRY_COMPARE(sink.notices.size(), 1);
        QVERIFY(sink.notices[0].contains(QLatin1String("did not acknowledge: modem-state mask, line-state mask")));
        server->setContact(Input::Dsr, true);
        using L = std::vector<std::pair<qint16, bool>>;
        QTRY_COMPARE(sink.lines(), (L{{comm::Dsr, true}}));
    }

    void aServerWithoutTheComPortOptionCarriesDataOnly()
    {
        ContactServer::Behaviour plain;
        plain.refuseComPort = true;
        server->setBehaviour(plain);
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        backend.open(target, settings("9600,N,8,1"), sink);
        QTRY_VERIFY(!sink.notices.isEmpty());
        QVERIFY(sink.notices[0].contains(QLatin1String("refuses the Com Port option")));
        backend.write("AT\r");
        QTRY_COMPARE(server->state().received, QByteArray("AT\r"));
        QCOMPARE(server->state().baudRate, 0u);
    }

    void dataGoesBothWaysUnchanged()
    {
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink);
        const QByteArray odd("\xff\r\x00\n\xfe", 5);
        backend.write(odd);
        QTRY_COMPARE(server->state().received, odd);
        server->sendData(odd);
        QTRY_VERIFY(!sink.events.empty());
        QByteArray got;
        for (const auto &e : sink.events) {
            QCOMPARE(e.code, comm::Receive);
            got += e.data;
        }
        QCOMPARE(got, odd);
    }

    void lineErrorsBecomeTheirEvents()
    {
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink);
        server->sendLineState(0x10 | 0x08 | 0x04 | 0x02 | 0x01);
        QTRY_COMPARE(sink.events.size(), std::size_t(4));
        const qint16 expected[] = {comm::Break, comm::Frame, comm::RxParity, comm::Overrun};
        for (std::size_t i = 0; i < 4; ++i)
            QCOMPARE(sink.events[i].code, expected[i]);
    }

    void aDroppedConnectionIsALostPort()
    {
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        openAndSettle(backend, sink);
        server->dropClient();
        QTRY_COMPARE(sink.losses.size(), std::size_t(1));
        QCOMPARE(sink.losses[0].first, ECONNRESET);
        QVERIFY(sink.losses[0].second.contains(target));
        QTest::qWait(50);
        QCOMPARE(sink.losses.size(), std::size_t(1));
        QVERIFY_THROWS_EXCEPTION(vantor::RuntimeError, backend.write("x"));
    }

    // The package's own server says why it refuses or ends a session, and that its device has
    // no modem lines: the port's loss and the port log say it in words.
    void theServersOwnNoticesAreSaid_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("said");
        using namespace rfc2217::notice;
        QTest::newRow("no modem lines") << QByteArray(NoModemLines.data(), qsizetype(NoModemLines.size()))
                                        << "has no modem lines that can be watched (its server says so); contacts";
        QTest::newRow("refused") << QByteArray(Refused.data(), qsizetype(Refused.size()))
                                 << "The network serial server refuses the session: because: rfc2217://";
        QTest::newRow("ended") << QByteArray(Ended.data(), qsizetype(Ended.size()))
                               << "The network serial server ended the session: because: rfc2217://";
    }
    void theServersOwnNoticesAreSaid()
    {
        QFETCH(QByteArray, kind);
        QFETCH(QString, said);
        QTcpServer own;
        QVERIFY(own.listen(QHostAddress::LocalHost));
        connect(&own, &QTcpServer::newConnection, this, [&own, kind] {
            const rfc2217::Bytes notice = rfc2217::Rfc2217ServerSession::notice(kind.toStdString(), "because");
            own.nextPendingConnection()->write(notice.data(), qint64(notice.size()));
        });
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        backend.open(QStringLiteral("rfc2217://127.0.0.1:%1").arg(own.serverPort()), settings("9600,N,8,1"), sink);
        QTRY_VERIFY(!sink.notices.filter(said).isEmpty()
                    || (!sink.losses.empty() && sink.losses[0].second.startsWith(said)));
        QCOMPARE(sink.notices.filter(said).size() == 1 && isNoModemLinesNotice(sink.notices.filter(said)[0]),
                 kind.contains("modem"));
    }

    void aServerThatStopsAnsweringIsALostPort()
    {
        Rfc2217Backend::Timing t = fastTiming();
        t.idleMs = 100;
        t.answerMs = 150;
        RecordingSink sink;
        Rfc2217Backend backend(t);
        openAndSettle(backend, sink);
        // While the server answers the keep-alive, the port stays.
        QTest::qWait(600);
        QVERIFY(sink.losses.empty());
        ContactServer::Behaviour silent;
        silent.silent = true;
        server->setBehaviour(silent);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE(sink.losses.size(), std::size_t(1));
        QCOMPARE(sink.losses[0].first, ETIMEDOUT);
        QVERIFY(clock.elapsed() < 1000);
    }

    // A server that asks for timing marks without end and never reads what is answered: the
    // answers do not pile up without bound, the port is lost instead.
    void aServerThatDoesNotReadIsALostPort()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 1) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        backend.open(QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port)), settings("9600,N,8,1"),
                     sink);
        const int peer = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        QVERIFY(peer >= 0);
        std::string marks;
        for (int i = 0; i < 4096; ++i)
            marks += "\xff\xfd\x06"; // IAC DO TIMING-MARK
        QElapsedTimer clock;
        clock.start();
        while (sink.losses.empty() && clock.elapsed() < 10000) {
            ::send(peer, marks.data(), marks.size(), MSG_NOSIGNAL);
            QTest::qWait(5);
        }
        ::close(peer);
        ::close(listener);
        QCOMPARE(sink.losses.size(), std::size_t(1));
        QCOMPARE(sink.losses[0].first, EPROTO);
        QVERIFY(sink.losses[0].second.contains(QLatin1String("does not read")));
    }

    void openFailsAtOnceWhenNothingListens()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString closed = QStringLiteral("rfc2217://127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        RecordingSink sink;
        Rfc2217Backend backend;
        QElapsedTimer clock;
        clock.start();
        try {
            backend.open(closed, settings("9600,N,8,1"), sink);
            QFAIL("open succeeded");
        } catch (const vantor::RuntimeError &e) {
            QCOMPARE(e.number(), ECONNREFUSED);
            QVERIFY(QString::fromStdString(e.description()).contains(closed));
        }
        QVERIFY(clock.elapsed() < 1000);
        SystemHostResolver resolver;
        QVERIFY(!Rfc2217Backend::reachable(closed, 500, resolver));
        QVERIFY(Rfc2217Backend::reachable(target, 500, resolver));
    }

    void opensByNameAndFailsOnAnUnknownOne()
    {
        RecordingSink sink;
        Rfc2217Backend backend(fastTiming());
        backend.open(QStringLiteral("rfc2217://localhost:%1").arg(server->port()), settings("9600,N,8,1"), sink);
        QTRY_VERIFY(server->state().rts);
        backend.close();
        try {
            backend.open(QStringLiteral("rfc2217://no-such-host.invalid:7000"), settings("9600,N,8,1"), sink);
            QFAIL("open succeeded");
        } catch (const vantor::RuntimeError &e) {
            QVERIFY(e.number() == EHOSTUNREACH || e.number() == ETIMEDOUT);
        }
    }

    void closingEndsTheSession()
    {
        RecordingSink sink;
        {
            Rfc2217Backend backend(fastTiming());
            openAndSettle(backend, sink);
            backend.close();
            QTRY_VERIFY(!server->hasClient());
            server->setContact(Input::Cts, true);
            QTest::qWait(50);
        }
        QVERIFY(sink.events.empty());
        QVERIFY(sink.losses.empty());
    }

    void readsTargets()
    {
        QCOMPARE(Rfc2217Backend::parseTarget(QStringLiteral("rfc2217://gpi-box.local:4001"))->host,
                 QStringLiteral("gpi-box.local"));
        QCOMPARE(Rfc2217Backend::parseTarget(QStringLiteral("rfc2217://[::1]:7000"))->port, quint16(7000));
        for (const char *bad : {"rfc2217://host", "telnet://host:23", "rfc2217://host:23/x", "rfc2217://:23",
                                "rfc2217://host:99999", "/dev/ttyS0"})
            QVERIFY2(!Rfc2217Backend::parseTarget(QString::fromLatin1(bad)), bad);
    }
};

QTEST_GUILESS_MAIN(TestRfc2217Backend)
#include "tst_rfc2217backend.moc"
