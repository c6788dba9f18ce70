#include "app/monitor/statusserver.h"

#include "app/monitor/statusboard.h"
#include "app/monitor/statuspage.h"

#include <CivetServer.h>

#include <functional>
#include <string>
#include <string_view>

namespace vantor::app {

class StatusServer::Handler : public CivetHandler
{
public:
    using Answer = std::function<void(mg_connection *)>;
    explicit Handler(Answer answer)
        : m_answer(std::move(answer))
    {
    }
    bool handleGet(CivetServer *, mg_connection *connection) override
    {
        m_answer(connection);
        return true;
    }

private:
    Answer m_answer;
};

namespace {
// The page and what it reads come from this endpoint alone; nothing runs but its own script,
// and no answer is taken for another type than it says.
constexpr const char *PagePolicy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                                   "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void reply(mg_connection *connection, int status, const char *type, std::string_view body)
{
    mg_response_header_start(connection, status);
    mg_response_header_add(connection, "Content-Type", type, -1);
    mg_response_header_add(connection, "Content-Length", std::to_string(body.size()).c_str(), -1);
    mg_response_header_add(connection, "Cache-Control", "no-store", -1);
    mg_response_header_add(connection, "X-Content-Type-Options", "nosniff", -1);
    mg_response_header_add(connection, "Content-Security-Policy", PagePolicy, -1);
    mg_response_header_add(connection, "Referrer-Policy", "no-referrer", -1);
    mg_response_header_send(connection);
    mg_write(connection, body.data(), body.size());
}
} // namespace

StatusServer::StatusServer(const StatusBoard &board)
    : m_board(board)
    , m_metrics(std::make_unique<Handler>([this](mg_connection *c) {
        reply(c, 200, "text/plain; version=0.0.4; charset=utf-8", m_board.metricsText(StatusBoard::Clock::now()));
    }))
    , m_health(std::make_unique<Handler>([this](mg_connection *c) {
        const StatusBoard::Health health = m_board.health(StatusBoard::Clock::now());
        reply(c, health.ok ? 200 : 503, "text/plain; charset=utf-8", health.text);
    }))
    , m_statusJson(
          std::make_unique<Handler>([this](mg_connection *c) { reply(c, 200, "application/json", *statusDocument()); }))
{
    for (const StatusPage::File &file : StatusPage::files())
        m_pageFiles.push_back(
            std::make_unique<Handler>([file](mg_connection *c) { reply(c, 200, file.type, file.body); }));
}

StatusServer::~StatusServer() = default;

std::shared_ptr<const std::string> StatusServer::statusDocument()
{
    const std::lock_guard lock(m_documentLock); // readers that come meanwhile take this one
    const auto now = StatusBoard::Clock::now();
    if (!m_document || now - m_documentMade >= DocumentAge) {
        m_document = std::make_shared<const std::string>(StatusPage::json(m_board.pageView(now)));
        m_documentMade = now;
    }
    return m_document;
}

QString StatusServer::start(const QString &address, quint16 port)
{
    const std::vector<std::string> options{
        "listening_ports",    QStringLiteral("%1:%2").arg(address).arg(port).toStdString(),
        "num_threads",        std::to_string(Workers),
        "connection_queue",   std::to_string(QueuedConnections),
        "listen_backlog",     std::to_string(Backlog),
        "max_request_size",   std::to_string(MaxRequestBytes),
        "request_timeout_ms", std::to_string(RequestTimeoutMs),
        "enable_keep_alive",  "no",
    };
    try {
        auto server = std::make_unique<CivetServer>(options);
        server->addHandler("/metrics$", *m_metrics);
        server->addHandler("/healthz$", *m_health);
        server->addHandler("/status.json$", *m_statusJson);
        for (size_t i = 0; i < m_pageFiles.size(); ++i)
            server->addHandler(StatusPage::files()[i].path, *m_pageFiles[i]);
        m_server = std::move(server);
    } catch (const CivetException &) {
        return QStringLiteral("cannot listen on %1:%2 (in use, or not an address of this machine)")
            .arg(address)
            .arg(port);
    }
    return {};
}

quint16 StatusServer::port() const
{
    if (!m_server)
        return 0;
    const std::vector<int> ports = m_server->getListeningPorts();
    return ports.empty() ? 0 : quint16(ports.front());
}

} // namespace vantor::app
