#include "backupcheck.h"

#include <QHostInfo>

namespace vantor::playout {

BackupCheck::BackupCheck(QObject *parent)
    : QObject(parent)
{
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        finish(Verdict::Unknown,
               QStringLiteral("the addresses were not known within %1 s").arg(LookupLimitMs / 1000.0));
    });
}

void BackupCheck::start(const Server &main, const Server &backup, Done done)
{
    cancel();
    m_servers = {main, backup};
    m_done = std::move(done);
    m_limit.start(LookupLimitMs);
    for (int which = 0; which < 2; ++which) {
        m_lookups[size_t(which)] = QHostInfo::lookupHost(
            m_servers[size_t(which)].host, this, [this, which](const QHostInfo &info) { answered(which, info); });
    }
}

void BackupCheck::cancel()
{
    m_limit.stop();
    for (int &id : m_lookups) {
        if (id >= 0)
            QHostInfo::abortHostLookup(id);
        id = -1;
    }
    m_addresses = {};
    m_done = {};
}

void BackupCheck::answered(int which, const QHostInfo &info)
{
    if (!m_done || info.lookupId() != m_lookups[size_t(which)])
        return; // an answer to a check given up
    m_lookups[size_t(which)] = -1;
    if (info.error() != QHostInfo::NoError) {
        finish(Verdict::Unknown, QStringLiteral("%1: %2").arg(m_servers[size_t(which)].host, info.errorString()));
        return;
    }
    m_addresses[size_t(which)] = info.addresses();
    if (!m_addresses[0] || !m_addresses[1])
        return;
    if (m_servers[0].port == m_servers[1].port) {
        for (const QHostAddress &a : *m_addresses[0]) {
            for (const QHostAddress &b : *m_addresses[1]) {
                if (a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4))
                    return finish(Verdict::Same, a.toString());
            }
        }
    }
    finish(Verdict::Distinct, {});
}

void BackupCheck::finish(Verdict verdict, const QString &detail)
{
    Done done = std::exchange(m_done, {});
    cancel();
    if (done)
        done(verdict, detail);
}

} // namespace vantor::playout
