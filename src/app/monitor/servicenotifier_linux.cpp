#include "app/monitor/servicenotifier.h"

#include <systemd/sd-daemon.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vantor::app {

namespace {
// A STATUS= text is a single line; the service manager shows it in "systemctl status".
constexpr qsizetype MaxStatus = 320;

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
    connect(&m_watchdog, &QTimer::timeout, this, &ServiceNotifier::ping);
}

// A path must lead to a bound socket, an abstract name must be bound: connecting a datagram
// socket checks both, sends nothing and waits for nothing.
bool ServiceNotifier::underServiceManager()
{
    const char *name = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address = {};
    const std::size_t length = name ? std::strlen(name) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@'))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool there =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), socklen_t(offsetof(sockaddr_un, sun_path) + length))
        == 0;
    ::close(fd);
    return there;
}

void ServiceNotifier::ready(const QString &status)
{
    m_status = oneLine(status);
    send(QStringLiteral("READY=1\nSTATUS=") + statusLine());
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
    send(QStringLiteral("STATUS=") + statusLine());
}

void ServiceNotifier::setBoxOpen(bool open)
{
    if (open) {
        if (!m_boxSince)
            m_boxSince = Clock::now();
        return;
    }
    m_boxSince.reset();
    if (std::exchange(m_held, false)) {
        send(QStringLiteral("STATUS=") + statusLine());
        if (m_watchdog.isActive())
            send(QStringLiteral("WATCHDOG=1"));
    }
}

void ServiceNotifier::ping()
{
    if (m_boxSince && m_boxGrace && Clock::now() - *m_boxSince >= *m_boxGrace) {
        if (!std::exchange(m_held, true))
            send(QStringLiteral("STATUS=") + statusLine());
        return;
    }
    send(QStringLiteral("WATCHDOG=1"));
}

QString ServiceNotifier::statusLine() const
{
    if (!m_held)
        return m_status;
    return m_status
        + QStringLiteral(" (no answer for %1 s: watchdog pings stopped, the service manager restarts the program)")
              .arg(std::chrono::duration_cast<std::chrono::seconds>(*m_boxGrace).count());
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
