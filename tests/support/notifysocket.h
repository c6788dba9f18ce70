#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A service manager's notification socket for a test: a datagram socket whose path goes in
// NOTIFY_SOCKET. Each notice is kept with the time (ms of clock) it was taken.
class NotifySocket
{
public:
    struct Notice
    {
        QByteArray text;
        qint64 atMs = 0;
    };

    NotifySocket()
        : m_path(m_dir.filePath("notify").toLocal8Bit())
        , m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
        m_clock.start();
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, m_path.constData(), sizeof address.sun_path);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(m_fd); }

    bool ok() const { return m_bound; }
    QByteArray path() const { return m_path; }

    // What has come so far, without waiting.
    const std::vector<Notice> &take()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
            m_notices.push_back({QByteArray(buffer, int(n)), m_clock.elapsed()});
        return m_notices;
    }
    // The index of the first notice from index `from` on that holds text, waiting for it; -1.
    int waitFor(const QByteArray &text, size_t from = 0, int timeoutMs = 20000)
    {
        int found = -1;
        static_cast<void>(QTest::qWaitFor(
            [&] {
                for (size_t i = from; i < take().size() && found < 0; ++i)
                    found = m_notices[i].text.contains(text) ? int(i) : -1;
                return found >= 0;
            },
            timeoutMs));
        return found;
    }

private:
    QTemporaryDir m_dir;
    QElapsedTimer m_clock;
    const QByteArray m_path;
    const int m_fd;
    bool m_bound = false;
    std::vector<Notice> m_notices;
};
