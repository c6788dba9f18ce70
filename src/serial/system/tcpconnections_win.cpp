#include "portprobe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <QtEndian>

#include <vector>

namespace vantor::serial {

namespace {

// The system's table of TCP connections of one address family, ESTABLISHED or not; empty when
// it cannot be read. A machine with very many connections is read this far.
std::vector<char> connectionTable(ULONG family)
{
    constexpr DWORD MaxTableBytes = 16 << 20;
    std::vector<char> table;
    DWORD size = 0;
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD result = ::GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size, FALSE, family,
                                                   TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result == NO_ERROR)
            return table;
        if (result != ERROR_INSUFFICIENT_BUFFER || size > MaxTableBytes)
            break;
        table.resize(size); // the table may have grown meanwhile: asked again
    }
    return {};
}

bool matches(const QHostAddress &peer, quint16 peerPort, const QList<QHostAddress> &addresses, quint16 port)
{
    if (peerPort != port)
        return false;
    for (const QHostAddress &address : addresses) {
        if (peer.isEqual(address, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

} // namespace

bool SystemPortProbe::connectedFromHere(const QList<QHostAddress> &addresses, quint16 port)
{
    const std::vector<char> four = connectionTable(AF_INET);
    if (!four.empty()) {
        const auto *table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID *>(four.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID &row = table->table[i];
            if (row.dwState == MIB_TCP_STATE_ESTAB
                && matches(QHostAddress(qFromBigEndian<quint32>(row.dwRemoteAddr)),
                           qFromBigEndian<quint16>(quint16(row.dwRemotePort)), addresses, port))
                return true;
        }
    }
    const std::vector<char> six = connectionTable(AF_INET6);
    if (!six.empty()) {
        const auto *table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID *>(six.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID &row = table->table[i];
            if (row.dwState == MIB_TCP_STATE_ESTAB
                && matches(QHostAddress(row.ucRemoteAddr), qFromBigEndian<quint16>(quint16(row.dwRemotePort)),
                           addresses, port))
                return true;
        }
    }
    return false;
}

} // namespace vantor::serial
