#include "portprobe.h"

#include "portmap.h"
#include "serial/rfc2217/rfc2217backend.h"

#include <QUrl>

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

SystemPortProbe::Verdict SystemPortProbe::checkNetwork(const QString &target) const
{
    const QUrl url(target);
    if (url.host().isEmpty() || url.port() <= 0)
        return Verdict::Missing;
    return Rfc2217Backend::reachable(target, int(m_connectTimeout.count()), *m_resolver) ? Verdict::Available
                                                                                         : Verdict::Unreachable;
}

} // namespace vantor::serial
