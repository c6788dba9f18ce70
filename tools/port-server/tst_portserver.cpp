// The port server on this machine: its protocol side against a fake port, and the whole server
// on a pseudo-terminal against our client's session. Modem lines are tested in uart-vm.
#include "portserver.h"

#include "serial/rfc2217/rfc2217session.h"
#include "serial/system/portprobe.h"

#include <QProcess>
#include <QTemporaryFile>
#include <QtTest>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace vantor::serial::rfc2217;
using namespace std::chrono_literals;

namespace {

constexpr auto Limit = 20s;

class FakePort : public PortControl
{
public:
    std::uint32_t setBaudRate(std::uint32_t b) override { return b; }
    std::uint8_t setDataSize(std::uint8_t v) override { return v; }
    std::uint8_t setParity(std::uint8_t v) override { return v; }
    std::uint8_t setStopSize(std::uint8_t v) override { return v; }
    std::uint8_t setControl(std::uint8_t v) override { return v; }
    void purge(std::uint8_t) override {}
    std::uint8_t modemLevels() const override { return 0; }
};

// Our client's session over a socket to the server.
struct Client
{
    // offers: false for a bare connection, which sends nothing.
    explicit Client(std::uint16_t port, PortParameters parameters = {}, bool offers = true)
        : session(parameters)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        if (offers)
            send(session.start());
    }
    ~Client() { ::close(fd); }
    void send(const Bytes &b) const { QCOMPARE(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    // Reads and answers until done() holds or the connection ends; done() at the end.
    bool pump(const std::function<bool()> &done)
    {
        const auto deadline = std::chrono::steady_clock::now() + Limit;
        while (!done() && !closed && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            closed = n <= 0;
            raw.append(buffer, n > 0 ? std::size_t(n) : 0);
            Rfc2217Session::Output out;
            session.receive(std::string_view(buffer, n > 0 ? std::size_t(n) : 0), out);
            send(out.reply);
            for (const auto &e : out.events)
                data += e.kind == SessionEvent::Kind::Data ? e.data : Bytes();
        }
        return done();
    }

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = false;
    bool closed = false;
    Rfc2217Session session;
    Bytes data;
    Bytes raw; // every byte received
    bool heard(std::string_view notice) const { return raw.find(notice) != Bytes::npos; }
};

// A pseudo-terminal served on a port of its own, on a thread of the test's.
struct Served
{
    explicit Served(bool takeover = false)
    {
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        termios raw{};
        ::tcgetattr(master, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master, TCSANOW, &raw);
        PortServer::Options options{ttyname(slave), "127.0.0.1", 0, true, true, takeover};
        server = std::make_unique<PortServer>(options, [](const std::string &) {});
        QCOMPARE(server->open(), PortServer::Ok);
        thread = std::thread([this] { server->run(stop); });
    }
    ~Served()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(stop, &one, sizeof one);
        thread.join();
        for (const int fd : {stop, master, slave})
            ::close(fd);
    }
    // Bytes from the device reach the client.
    bool reaches(Client &client, const Bytes &payload) const
    {
        client.data.clear();
        return ::write(master, payload.data(), payload.size()) == ssize_t(payload.size())
            && client.pump([&] { return client.data == payload; });
    }

    int master = -1;
    int slave = -1;
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    std::unique_ptr<PortServer> server;
    std::thread thread;
};

Bytes readFor(int fd, std::size_t n)
{
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, 100) > 0)
            got.append(buffer, std::size_t(std::max<ssize_t>(0, ::read(fd, buffer, sizeof buffer))));
    }
    return got;
}

} // namespace

class TestPortServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void honoursTheModemStateMask_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("sent"); // -1: nothing
        QTest::newRow("CTS rises") << 0xff << 0x11 << 0x11;
        QTest::newRow("a pulse: change bit, level as before") << 0xff << 0x01 << 0x01;
        QTest::newRow("levels only") << 0xf0 << 0x11 << 0x10;
        QTest::newRow("CTS masked out") << 0x22 << 0x11 << -1;
    }
    void honoursTheModemStateMask()
    {
        QFETCH(int, mask);
        QFETCH(int, state);
        QFETCH(int, sent);
        FakePort port;
        Rfc2217ServerSession session(port, "test");
        Rfc2217ServerSession::Output out;
        session.receive(
            negotiation(telnet::WILL, option::ComPort) + comPort(cpc::SetModemStateMask, std::uint8_t(mask)), out);
        QVERIFY(session.comPortActive());
        const Bytes expected =
            sent < 0 ? Bytes() : comPort(cpc::NotifyModemState + cpc::ServerOffset, std::uint8_t(sent));
        QCOMPARE(session.modemState(std::uint8_t(state)), expected);
    }

    void servesAPseudoTerminalToOurClient()
    {
        Served served;
        // A pseudo-terminal keeps 8 data bits and no parity whatever it is told; speed and
        // stop bits it takes.
        Client first(served.server->port(), {19200, 8, cpc::parity::None, cpc::stopsize::Two});
        QVERIFY(first.connected);
        QVERIFY(first.pump([&] {
            termios t{};
            ::tcgetattr(served.slave, &t);
            return cfgetospeed(&t) == B19200 && (t.c_cflag & CSTOPB);
        }));

        // A pseudo-terminal has no modem lines, and the server says so.
        QVERIFY(first.pump([&] { return first.heard(notice::NoModemLines); }));

        const Bytes payload("\xff\r\0\xfe\xff", 5); // IAC, CR NUL, IAC again
        first.send(first.session.encodeData(payload));
        QCOMPARE(readFor(served.master, payload.size()), payload);
        QVERIFY(served.reaches(first, payload));
    }

    // Whoever comes while a client is served and answers (a port scan, a second station, the
    // listener's probe) is refused and told why, and the client keeps its session; with
    // --takeover the newcomer takes over and the client is told why its session ended.
    void aNewcomerNeverCostsALiveClientItsSession_data()
    {
        QTest::addColumn<QString>("newcomer");
        QTest::addColumn<bool>("takeover");
        QTest::newRow("a bare connect") << "bare" << false;
        QTest::newRow("a second client") << "client" << false;
        QTest::newRow("the listener's probe") << "probe" << false;
        QTest::newRow("a second client, --takeover") << "client" << true;
    }
    void aNewcomerNeverCostsALiveClientItsSession()
    {
        QFETCH(QString, newcomer);
        QFETCH(bool, takeover);
        Served served(takeover);
        Client first(served.server->port());
        QVERIFY(first.pump([&] { return first.session.comPortActive(); }));
        if (newcomer == "probe") {
            const QString target = QStringLiteral("rfc2217://127.0.0.1:%1").arg(served.server->port());
            const vantor::serial::SystemPortProbe probe;
            QVERIFY(probe.available(target)); // the window's list: listed, not connected to
            QCOMPARE(probe.check(target), vantor::serial::SystemPortProbe::Verdict::InUse); // --list-ports
            QVERIFY(served.reaches(first, "contact box"));
            return;
        }
        Client second(served.server->port(), {}, newcomer == "client");
        Client &loser = takeover ? first : second;
        QVERIFY(loser.pump([&] { return loser.closed; }));
        QVERIFY(loser.heard(takeover ? notice::Ended : notice::Refused));
        QVERIFY(served.reaches(takeover ? second : first, "contact box"));
    }

    void aDeviceItCannotOpenEndsWithStatusTwo_data()
    {
        QTest::addColumn<QString>("device");
        QTemporaryFile file;
        QVERIFY(file.open());
        file.setAutoRemove(false);
        QTest::newRow("missing") << QString("/nonexistent/ttyS9");
        QTest::newRow("a regular file") << file.fileName();
    }
    void aDeviceItCannotOpenEndsWithStatusTwo()
    {
        QFETCH(QString, device);
        QProcess server;
        server.start(PORT_SERVER, {"--port", "0", device});
        QVERIFY(server.waitForFinished(20000));
        QCOMPARE(server.exitCode(), 2);
        QVERIFY(server.readAllStandardError().contains("cannot open " + device.toUtf8()));
        if (!device.startsWith("/nonexistent"))
            QFile::remove(device);
    }
};

QTEST_GUILESS_MAIN(TestPortServer)
#include "tst_portserver.moc"
