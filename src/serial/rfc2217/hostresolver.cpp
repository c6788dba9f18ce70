#include "hostresolver.h"

#include <QUrl>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace vantor::serial {

// How many lookup threads run; owned by its mutex, shared by the resolver and its threads.
struct SystemHostResolver::Threads
{
    std::mutex mutex;
    int running = 0;
};

namespace {
// One lookup's answer, shared by the waiting caller and the lookup thread.
struct Answer
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::vector<std::string> addresses;
};
} // namespace

SystemHostResolver::SystemHostResolver(Lookup lookup)
    : m_lookup(std::move(lookup))
    , m_threads(std::make_shared<Threads>())
{
}

std::optional<QList<QHostAddress>> SystemHostResolver::resolve(const QString &host, std::chrono::milliseconds limit)
{
    {
        std::lock_guard lock(m_threads->mutex);
        if (m_threads->running >= MaxRunning)
            return std::nullopt; // earlier lookups still hang: this one would too
        ++m_threads->running;
    }
    const QByteArray ace = QUrl::toAce(host);
    const std::string name = ace.isEmpty() ? host.toStdString() : ace.toStdString();
    auto answer = std::make_shared<Answer>();
    try {
        std::thread([threads = m_threads, answer, lookup = m_lookup, name] {
            std::vector<std::string> addresses;
            try {
                addresses = lookup(name);
            } catch (...) {
            }
            {
                std::lock_guard lock(answer->mutex);
                answer->addresses = std::move(addresses);
                answer->finished = true;
            }
            answer->done.notify_all();
            std::lock_guard lock(threads->mutex);
            --threads->running;
        }).detach();
    } catch (const std::system_error &) {
        std::lock_guard lock(m_threads->mutex);
        --m_threads->running;
        return std::nullopt;
    }
    std::unique_lock lock(answer->mutex);
    if (!answer->done.wait_for(lock, limit, [&] { return answer->finished; }))
        return std::nullopt;
    QList<QHostAddress> out;
    for (const std::string &address : answer->addresses) {
        const QHostAddress parsed(QString::fromStdString(address));
        if (!parsed.isNull())
            out << parsed;
    }
    return out;
}

} // namespace vantor::serial
