#include "scrapedstatus.h"

#include "station.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

ScrapedStatus::ScrapedStatus(Station &station, int intervalMs)
    : m_feed(m_board, station.fixture().w(), station.fixture().port)
    , m_server(m_board)
{
    m_feed.addServer(0, *station.fixture().caspar);
    if (!m_server.start(QStringLiteral("127.0.0.1"), 0).isEmpty())
        return;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_server.port()));
    auto *manager = new QNetworkAccessManager; // lives and dies on the scraping thread
    auto *timer = new QTimer;
    timer->setInterval(intervalMs);
    manager->moveToThread(&m_thread);
    timer->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::started, timer, qOverload<>(&QTimer::start));
    QObject::connect(&m_thread, &QThread::finished, timer, &QObject::deleteLater);
    QObject::connect(&m_thread, &QThread::finished, manager, &QObject::deleteLater);
    QObject::connect(timer, &QTimer::timeout, manager, [this, manager, url] {
        QNetworkReply *reply = manager->get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
            const bool ok = reply->error() == QNetworkReply::NoError && !reply->readAll().isEmpty();
            ++(ok ? m_answers : m_failures);
            reply->deleteLater();
        });
    });
    m_thread.start();
    m_ready = true;
}

ScrapedStatus::~ScrapedStatus()
{
    m_thread.quit();
    m_thread.wait();
}
