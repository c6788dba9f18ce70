#pragma once

#include "app/monitor/statusboard.h"
#include "app/monitor/statusfeed.h"
#include "app/monitor/statusserver.h"

#include <QThread>

#include <atomic>
#include <memory>

class Station;

// The station's status endpoint as --status serves it, with facility monitoring scraping
// /metrics every `intervalMs` from a thread of its own (a QNetworkAccessManager, one request
// at a time, as a Prometheus server does), for as long as this object lives.
class ScrapedStatus
{
public:
    ScrapedStatus(Station &station, int intervalMs);
    ~ScrapedStatus();
    bool ready() const { return m_ready; }
    // Answers with status 200 and a body, and failed requests, so far.
    int answers() const { return m_answers.load(); }
    int failures() const { return m_failures.load(); }

private:
    vantor::app::StatusBoard m_board;
    vantor::app::StatusFeed m_feed;
    vantor::app::StatusServer m_server;
    QThread m_thread;
    std::atomic<int> m_answers{0};
    std::atomic<int> m_failures{0};
    bool m_ready = false;
};
