#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A service manager's notification socket, as far as a test needs one: a datagram socket in a
// directory of its own, whose path goes in NOTIFY_SOCKET. Each datagram is kept with the time
// it was taken.
class NotifySocket
{
public:
    struct Notice
    {
        QByteArray text;
        qint64 atMs = 0; // by clock()
    };

    NotifySocket()
    {
        m_clock.start();
        const QByteArray path = m_dir.filePath("notify").toLocal8Bit();
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        m_path = path;
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool ok() const { return m_fd >= 0; }
    QByteArray path() const { return m_path; }
    const QElapsedTimer &clock() const { return m_clock; }

    // Takes what has come, without waiting.
    const std::vector<Notice> &take()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            m_notices.push_back({QByteArray(buffer, int(n)), m_clock.elapsed()});
        return m_notices;
    }
    // Waits for a notice holding `text` after the first `from`; its index, or -1.
    int waitFor(const QByteArray &text, size_t from = 0, int timeoutMs = 20000)
    {
        int found = -1;
        static_cast<void>(QTest::qWaitFor(
            [&] {
                const auto &all = take();
                for (size_t i = from; i < all.size() && found < 0; ++i) {
                    if (all[i].text.contains(text))
                        found = int(i);
                }
                return found >= 0;
            },
            timeoutMs));
        return found;
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    QElapsedTimer m_clock;
    int m_fd = -1;
    std::vector<Notice> m_notices;
};
