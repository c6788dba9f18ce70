#pragma once

#include "casparconnection.h"

#include <QString>

#include <array>

namespace vantor::playout {

// The playout servers a firing goes to: the main one and, where the station has one, a backup.
// Each is a CasparConnection of its own (socket, retries, liveness, replies), so one that is
// dead or frozen never delays the other. The connections are owned by whoever made them and
// outlive this.
class CasparServers
{
public:
    static constexpr int Main = 0;
    static constexpr int Backup = 1;

    // Implicit: a station without a backup is its main server.
    CasparServers(CasparConnection &main, CasparConnection *backup = nullptr)
        : m_servers{&main, backup}
    {
    }

    CasparConnection &main() const { return *m_servers[Main]; }
    CasparConnection *backup() const { return m_servers[Backup]; }
    // Main, and Backup where there is one.
    int count() const { return m_servers[Backup] ? 2 : 1; }
    CasparConnection &at(int server) const { return *m_servers[server]; }
    bool isReady(int server) const { return at(server).state() == CasparConnection::Connected; }

    // What History lines about a server end with: nothing for the main one, " (backup)".
    static QString suffix(int server) { return server == Backup ? QStringLiteral(" (backup)") : QString(); }

private:
    std::array<CasparConnection *, 2> m_servers;
};

} // namespace vantor::playout
