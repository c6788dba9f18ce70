#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantor::serial {

// Turns a host name into its addresses within a time limit.
class HostResolver
{
public:
    virtual ~HostResolver() = default;
    // The host's addresses (an empty list: the name is unknown), or nothing when no answer
    // came within limit.
    virtual std::optional<QList<QHostAddress>> resolve(const QString &host, std::chrono::milliseconds limit) = 0;
};

// The system's resolver with a time limit. A lookup of the C library cannot be interrupted,
// so each runs on a thread of its own, and the caller stops waiting for it at the limit. Such
// a thread is bounded:
//   - at most MaxRunning of them run at once; a lookup asked for beyond them is not answered;
//   - it touches nothing but its own shared state and the C library: no Qt (whose global
//     lookup cache is torn down when the program ends) and nothing of the resolver, so it may
//     end after the resolver, or be ended with the process, without harm.
class SystemHostResolver : public HostResolver
{
public:
    // Looks a name (ASCII, as the C library takes it) up, for as long as it takes; returns the
    // numeric addresses. Runs on the lookup thread.
    using Lookup = std::function<std::vector<std::string>(const std::string &name)>;
    static constexpr int MaxRunning = 2;

    explicit SystemHostResolver(Lookup lookup = &SystemHostResolver::systemLookup);

    std::optional<QList<QHostAddress>> resolve(const QString &host, std::chrono::milliseconds limit) override;

    // getaddrinfo() for TCP, IPv4 and IPv6.
    static std::vector<std::string> systemLookup(const std::string &name);

private:
    struct Threads;
    Lookup m_lookup;
    std::shared_ptr<Threads> m_threads; // shared with the lookup threads
};

} // namespace vantor::serial
