#include "app/monitor/servicenotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace vantor::app {

namespace {
// A STATUS= text is a single line; the service manager shows it in "systemctl status".
constexpr qsizetype MaxStatus = 200;

// One line of printable text: a line break in a movie's name must not start a notice of its own.
QString oneLine(const QString &text)
{
    QString line = text.left(MaxStatus);
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return line;
}
} // namespace

ServiceNotifier::ServiceNotifier(QObject *parent)
    : QObject(parent)
    , m_active(underServiceManager())
{
    uint64_t usec = 0;
    if (m_active && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        m_pingInterval = std::chrono::milliseconds(std::max<uint64_t>(1, usec / 2000));
    m_watchdog.setTimerType(Qt::PreciseTimer);
    connect(&m_watchdog, &QTimer::timeout, this, [this] { send(QStringLiteral("WATCHDOG=1")); });
}

bool ServiceNotifier::underServiceManager()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

void ServiceNotifier::ready(const QString &status)
{
    m_status = oneLine(status);
    send(QStringLiteral("READY=1\nSTATUS=") + m_status);
    if (m_pingInterval.count() > 0) {
        send(QStringLiteral("WATCHDOG=1"));
        m_watchdog.start(m_pingInterval);
    }
}

void ServiceNotifier::setStatus(const QString &status)
{
    const QString line = oneLine(status);
    if (line == m_status)
        return;
    m_status = line;
    send(QStringLiteral("STATUS=") + m_status);
}

void ServiceNotifier::stopping()
{
    m_watchdog.stop();
    send(QStringLiteral("STOPPING=1"));
}

// sd_notify sends one datagram and waits for no answer; a socket that is gone loses the notice.
bool ServiceNotifier::send(const QString &state)
{
    return m_active && sd_notify(0, state.toUtf8().constData()) > 0;
}

} // namespace vantor::app
