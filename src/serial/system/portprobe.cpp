#include "portprobe.h"

#include "portmap.h"
#include "serial/rfc2217/rfc2217backend.h"

#include <QElapsedTimer>

namespace vantor::serial {

SystemPortProbe::SystemPortProbe(QStringList lockDirectories, std::chrono::milliseconds connectTimeout,
                                 std::shared_ptr<HostResolver> resolver)
    : m_lockDirectories(std::move(lockDirectories))
    , m_connectTimeout(connectTimeout)
    , m_resolver(resolver ? std::move(resolver) : std::make_shared<SystemHostResolver>())
{
}

SystemPortProbe::~SystemPortProbe() = default;

SystemPortProbe::Verdict SystemPortProbe::check(const QString &target) const
{
    if (target.isEmpty())
        return Verdict::Missing;
    return PortMap::isNetworkTarget(target) ? checkNetwork(target) : checkDevice(target);
}

bool SystemPortProbe::available(const QString &target) const
{
    if (PortMap::isNetworkTarget(target))
        return Rfc2217Backend::parseTarget(target).has_value();
    return check(target) == Verdict::Available;
}

SystemPortProbe::Verdict SystemPortProbe::checkNetwork(const QString &target) const
{
    const auto endpoint = Rfc2217Backend::parseTarget(target);
    if (!endpoint)
        return Verdict::Missing;
    QElapsedTimer clock;
    clock.start();
    const int timeoutMs = int(m_connectTimeout.count());
    const auto addresses = Rfc2217Backend::addressesOf(*endpoint, timeoutMs, *m_resolver);
    if (!addresses)
        return Verdict::Unreachable;
    if (connectedFromHere(*addresses, endpoint->port))
        return Verdict::InUse;
    return Rfc2217Backend::reachable(*addresses, endpoint->port, timeoutMs - int(clock.elapsed()))
        ? Verdict::Available
        : Verdict::Unreachable;
}

} // namespace vantor::serial
