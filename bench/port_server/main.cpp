// The network serial server against the real 8250 driver, inside uart-vm: the server serves
// ttyS1 in loopback, a client of ours (the protocol library over a socket) connects over
// 127.0.0.1, and pulses driven on the outputs must reach the client as all their edges.
//   uart-vm run --timeout 150 port_server [PULSES]
// Prints edge-to-notice latency, what a one-second TIOCMGET poller would have caught of the
// same pulses, and the server's wake-ups while idle. Exit 0 when every count is exact, 1
// otherwise, 77 when not started inside the virtual machine.

#include "guest.h"
#include "loopbackport.h"
#include "recorder.h"

#include "portserver.h"
#include "serial/rfc2217/rfc2217session.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rfc2217 = vantor::serial::rfc2217;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int Out1 = 0x2000, Out2 = 0x4000; // TIOCM_OUT1 drives RI, TIOCM_OUT2 drives CD in loopback

struct Arrival
{
    rfc2217::LineEdge edge;
    Clock::time_point when;
};

// Our client: the protocol library's session over a plain socket, on a thread of its own.
class Client
{
public:
    explicit Client(std::uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_ok = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        m_session.watchChanges(); // the present-state notices carry no change bits
        if (m_ok) {
            send(m_session.start());
            m_thread = std::thread([this] { run(); });
        }
    }
    ~Client()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    bool ok() const { return m_ok; }

    // Waits until n edges arrived in all; false on time-out.
    bool waitFor(std::size_t n, std::chrono::seconds limit)
    {
        std::unique_lock lock(m_mutex);
        return m_arrivedCv.wait_for(lock, limit, [&] { return m_arrivals.size() >= n; });
    }
    bool waitForComPort(std::chrono::seconds limit)
    {
        std::unique_lock lock(m_mutex);
        return m_arrivedCv.wait_for(lock, limit, [&] { return m_comPort; });
    }
    std::vector<Arrival> take()
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_arrivals, {});
    }

private:
    void send(const rfc2217::Bytes &bytes) const
    {
        if (!bytes.empty()) [[maybe_unused]]
            const auto n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void run()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;) {
            const auto now = Clock::now();
            rfc2217::Rfc2217Session::Output out;
            m_session.receive(std::string_view(buffer, static_cast<std::size_t>(n)), out);
            send(out.reply);
            const std::lock_guard lock(m_mutex);
            for (const auto &e : out.events) {
                if (e.kind == rfc2217::SessionEvent::Kind::Line)
                    m_arrivals.push_back({e.edge, now});
            }
            m_comPort = m_session.comPortActive();
            m_arrivedCv.notify_all();
        }
    }

    int m_fd = -1;
    bool m_ok = false;
    rfc2217::Rfc2217Session m_session{rfc2217::PortParameters{}}; // client thread
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_arrivedCv;
    std::vector<Arrival> m_arrivals; // under m_mutex
    bool m_comPort = false;          // under m_mutex
};

struct Pulse
{
    Clock::time_point on, off; // just before raising and dropping the output
};

// Pulses on an output; inverted ones drop it and raise it again.
std::vector<Pulse> drive(const LoopbackPort &port, int output, std::size_t count, std::chrono::microseconds width,
                         bool inverted = false)
{
    std::vector<Pulse> pulses(count);
    for (Pulse &p : pulses) {
        p.on = Clock::now();
        inverted ? port.drop(output) : port.raise(output);
        sleepFor(width);
        p.off = Clock::now();
        inverted ? port.raise(output) : port.drop(output);
        sleepFor(2ms);
    }
    return pulses;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The pulses a TIOCMGET reading once a second, at a random phase, would have seen ON: those
// with a reading inside them.
std::size_t caughtByPoller(const std::vector<Pulse> &pulses, std::mt19937 &random)
{
    constexpr auto Interval = 1s;
    const auto phase = std::chrono::microseconds(std::uniform_int_distribution<long>(0, 999999)(random));
    const auto origin = pulses.front().on - Interval + phase;
    std::size_t caught = 0;
    for (const Pulse &p : pulses) {
        const auto next = origin + ((p.on - origin) / Interval + 1) * Interval;
        caught += next <= p.off;
    }
    return caught;
}

struct Line
{
    const char *name;
    int output;
    rfc2217::Signal signal;
    std::size_t edgesPerPulse; // RI is reported on its trailing edge only
    bool inverted;             // the driver holds OUT2 raised (it gates the PC's UART interrupt)
};

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!insideTheVirtualMachine()) {
        std::printf("skipped: runs only inside uart-vm (never on this machine's own ports)\n");
        return 77;
    }
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    LoopbackPort port("/dev/ttyS1");
    if (!port.ok()) {
        std::printf("FAIL %s\n", port.error().c_str());
        return 1;
    }
    PortServer server({"/dev/ttyS1", "127.0.0.1", 0, false, false},
                      [](const std::string &line) { std::printf("server: %s\n", line.c_str()); });
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (server.open() != PortServer::Ok)
        return 1;
    std::thread serving([&] { server.run(stopFd); });
    int failures = 0;
    const auto check = [&](bool ok, const std::string &what) {
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
        failures += !ok;
    };
    {
        Client client(server.port());
        check(client.ok() && client.waitForComPort(10s), "our client connected and agreed the Com Port option");
        // The client raises RTS and DTR as it opens the port: CTS and DSR follow in loopback.
        const bool raised = client.waitFor(2, 10s);
        port.drop(TIOCM_RTS | TIOCM_DTR);
        check(raised && client.waitFor(4, 10s), "the client's RTS and DTR requests reach the lines");
        client.take();
        std::mt19937 random(2217);

        std::printf("| pulse | edges seen/sent | latency p50 us | p99 us | max us | 1 s poller caught |\n"
                    "|---|---|---|---|---|---|\n");
        const std::chrono::microseconds widths[] = {300us, 1000us, 5000us};
        for (const auto width : widths) {
            const auto pulses = drive(port, TIOCM_RTS, count, width);
            const bool all = client.waitFor(2 * count, 30s);
            const auto arrivals = client.take();
            std::vector<double> latency;
            bool inOrder = arrivals.size() == 2 * count;
            for (std::size_t i = 0; i < arrivals.size() && inOrder; ++i) {
                const Pulse &p = pulses[i / 2];
                const bool on = i % 2 == 0;
                inOrder = arrivals[i].edge == rfc2217::LineEdge{rfc2217::Signal::Cts, on};
                latency.push_back(
                    std::chrono::duration<double, std::micro>(arrivals[i].when - (on ? p.on : p.off)).count());
            }
            std::printf("| %.1f ms | %zu/%zu | %.0f | %.0f | %.0f | %zu/%zu |\n", width.count() / 1000.0,
                        arrivals.size(), 2 * count, percentile(latency, 0.5), percentile(latency, 0.99),
                        percentile(latency, 1.0), caughtByPoller(pulses, random), count);
            check(all && inOrder,
                  std::to_string(count) + " CTS pulses of " + std::to_string(width.count())
                      + " us arrive as every edge, in order");
        }

        const Line others[] = {{"DSR", TIOCM_DTR, rfc2217::Signal::Dsr, 2, false},
                               {"CD", Out2, rfc2217::Signal::Cd, 2, true},
                               {"RI", Out1, rfc2217::Signal::Ring, 1, false}};
        for (const Line &l : others) {
            drive(port, l.output, 50, 1ms, l.inverted);
            client.waitFor(50 * l.edgesPerPulse, 30s);
            const auto arrivals = client.take();
            const bool right = std::all_of(arrivals.begin(), arrivals.end(),
                                           [&](const Arrival &a) { return a.edge.signal == l.signal; });
            check(right && arrivals.size() == 50 * l.edgesPerPulse,
                  std::string("50 pulses on ") + l.name + " arrive as " + std::to_string(arrivals.size()) + " changes");
        }

        sleepFor(500ms); // the watcher's sentry looks a few times after activity, then rests
        const long before = otherThreadsSwitches();
        sleepFor(2s);
        const long wakeUps = otherThreadsSwitches() - before;
        std::printf("idle wake-ups of the server's, watcher's and client's threads in 2 s: %ld\n", wakeUps);
        check(wakeUps == 0, "idle, with a client connected, no thread wakes");
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(stopFd, &one, sizeof one);
    serving.join();
    std::printf("%s: %d check(s) failed\n", failures ? "FAILED" : "PASSED", failures);
    return failures ? 1 : 0;
}
