// The status page's cost to the window thread. The main thread stands for the window thread: it
// records firings for the page as StatusFeed does (texts made by pageText, then the record, its
// reply and its on-air verdict on the board) and times those board calls, first with nobody
// reading, then while --clients threads fetch /status.json from the endpoint over 127.0.0.1
// without pause (many open pages, or a client that floods the endpoint). Then the reader's side:
// the document's size with the ring full, and the time to make it.
//
//   bench_status_page [--firings 20000] [--clients 16] [--pace-us 200]
#include "app/monitor/pagetext.h"
#include "app/monitor/statusboard.h"
#include "app/monitor/statuspage.h"
#include "app/monitor/statusserver.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace vantor::app;
using Clock = std::chrono::steady_clock;

namespace {
double us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void print(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("  %-44s p50 %8.2f  p99 %8.2f  p99.9 %9.2f  max %9.2f us\n", what, v[v.size() / 2],
                v[v.size() * 99 / 100], v[v.size() * 999 / 1000], v.back());
}

// One firing as StatusFeed records it, timed from the texts to the verdict.
double recordOne(StatusBoard &board, quint64 number)
{
    const auto start = Clock::now();
    StatusBoard::Entry e;
    e.number = number;
    e.time.assign(pageText(QStringLiteral("14:02:11"), RecentFirings::TimeBytes));
    e.movie.assign(pageText(QStringLiteral("news/opening titles.mov"), RecentFirings::MovieBytes));
    e.outcome.assign(
        pageText(QStringLiteral("Fire Trigger. Play movie news/opening titles.mov on 1-10"), RecentFirings::LineBytes));
    e.command.assign(pageText(QStringLiteral("PLAY 1-10 \"news/opening titles.mov\""), RecentFirings::LineBytes));
    e.reply = StatusBoard::Entry::Reply::Waiting;
    board.firingRecorded(e);
    board.firingReplied(number, true, 202, 1.4, "202 PLAY OK");
    board.firingOnAir(number, 84);
    return us(Clock::now() - start);
}

// Fetches /status.json over and over until told to stop; counts whole answers.
void pull(quint16 port, const std::atomic<bool> &stop, std::atomic<long> &answers)
{
    while (!stop.load()) {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForConnected(5000))
            continue;
        socket.write("GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(5000))
            answer += socket.readAll();
        if (answer.startsWith("HTTP/1.1 200"))
            ++answers;
    }
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int firings = 20000, clients = 16, paceUs = 200;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const int value = args[i + 1].toInt();
        if (args[i] == QLatin1String("--firings"))
            firings = std::max(100, value);
        else if (args[i] == QLatin1String("--clients"))
            clients = std::max(0, value);
        else if (args[i] == QLatin1String("--pace-us"))
            paceUs = std::max(0, value);
    }
    StatusBoard board("north");
    StatusServer server(board);
    if (!server.start(QStringLiteral("127.0.0.1"), 0).isEmpty()) {
        std::printf("the endpoint did not start\n");
        return 1;
    }
    std::printf("status page bench: %d firings, %d us apart; %d clients\n", firings, paceUs, clients);
    std::printf("window thread, per firing (texts, record, reply, verdict):\n");
    quint64 number = 0;
    for (int phase = 0; phase < 2; ++phase) {
        std::atomic<bool> stop{false};
        std::atomic<long> answers{0};
        std::vector<std::thread> pulling;
        for (int c = 0; phase == 1 && c < clients; ++c)
            pulling.emplace_back(pull, server.port(), std::cref(stop), std::ref(answers));
        std::vector<double> took;
        const auto began = Clock::now();
        for (int i = 0; i < firings; ++i) {
            took.push_back(recordOne(board, ++number));
            std::this_thread::sleep_for(std::chrono::microseconds(paceUs));
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        stop = true;
        for (std::thread &t : pulling)
            t.join();
        print(phase == 0 ? "nobody reading" : "clients pulling /status.json without pause", took);
        if (phase == 1)
            std::printf("  (%ld documents served, %.0f a second)\n", answers.load(), double(answers.load()) / seconds);
    }

    std::vector<double> making;
    std::size_t bytes = 0;
    for (int i = 0; i < 2000; ++i) {
        const auto start = Clock::now();
        bytes = StatusPage::json(board.pageView(Clock::now())).size();
        making.push_back(us(Clock::now() - start));
    }
    std::printf("reader, one /status.json with the ring full (%zu bytes, bound %zu):\n", bytes,
                StatusPage::MaxJsonBytes);
    print("copy of the board and the JSON", making);
    return 0;
}
