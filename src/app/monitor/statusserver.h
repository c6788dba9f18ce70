#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CivetServer;

namespace vantor::app {

class StatusBoard;

// The status endpoint for facility monitoring, an embedded HTTP server on threads of its own:
//   GET /metrics  the board's metrics in the Prometheus text format;
//   GET /healthz  200 "ok" while the port is open (on a device with modem lines), the server
//                 connected, the window thread answering and no error box waiting for an
//                 answer; 503 with the reasons, one a line, otherwise;
//   GET /         the status page (StatusPage), with its /status.css and /status.js, which
//                 read GET /status.json (the lamps, the slots, the recent firings).
// Anything else gets civetweb's own answer: 404, or 405 for PUT and DELETE, and 400 for a
// request it cannot read. Bounded whatever the clients do: Workers
// connections are served at once and QueuedConnections more wait (then the listening
// socket's backlog), a request's head is at most MaxRequestBytes and must be all there within
// RequestTimeoutMs of the connection's turn (civetweb counts the whole head, not each read),
// and no connection is kept alive. Clients that send their heads slowly hold a worker each
// for that long at most: it takes more of them than Workers, sent again and again, to keep a
// scrape waiting, and the endpoint is meant for a trusted network. It only reads the board,
// so nothing it does makes the window thread wait.
class StatusServer
{
public:
    static constexpr int Workers = 16;
    static constexpr int QueuedConnections = 32;
    static constexpr int Backlog = 64;
    static constexpr int MaxRequestBytes = 4096;
    static constexpr int RequestTimeoutMs = 1000;
    // A /status.json made this recently is served again: however many pages are open (or
    // however fast a client asks), the document is made ten times a second at most.
    static constexpr std::chrono::milliseconds DocumentAge{100};

    explicit StatusServer(const StatusBoard &board);
    ~StatusServer();

    // Starts listening on address:port (an IPv4 address; port 0 picks a free one). Returns an
    // empty string, or why it could not.
    QString start(const QString &address, quint16 port);
    // The port it listens on; 0 when not started.
    quint16 port() const;

private:
    class Handler;
    // The status page's document, made anew when older than DocumentAge.
    std::shared_ptr<const std::string> statusDocument();

    const StatusBoard &m_board;
    std::mutex m_documentLock;                              // the endpoint's threads only
    std::shared_ptr<const std::string> m_document;          // under m_documentLock
    std::chrono::steady_clock::time_point m_documentMade{}; // under m_documentLock
    std::unique_ptr<Handler> m_metrics;
    std::unique_ptr<Handler> m_health;
    std::unique_ptr<Handler> m_statusJson;
    std::vector<std::unique_ptr<Handler>> m_pageFiles; // StatusPage::files(), in their order
    std::unique_ptr<CivetServer> m_server;             // stops (joining its threads) before the handlers go
};

} // namespace vantor::app
