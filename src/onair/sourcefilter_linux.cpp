#include "sourcefilter.h"

#include <linux/filter.h>
#include <sys/socket.h>

#include <cstdint>
#include <vector>

namespace vantor::onair {

namespace {

// Offsets into the network header (SKF_NET_OFF: the IP header, whatever the socket's family;
// a dual-stack socket gets IPv4 datagrams with their IPv4 header).
constexpr std::uint32_t Net = std::uint32_t(SKF_NET_OFF);
constexpr std::uint32_t V4Source = 12;
constexpr std::uint32_t V6Source = 8;
constexpr std::uint32_t Accept = 0xffffffff; // the whole datagram
constexpr std::uint32_t Drop = 0;

sock_filter op(std::uint16_t code, std::uint32_t k, std::uint8_t jt = 0, std::uint8_t jf = 0)
{
    return sock_filter{code, jt, jf, k};
}

std::uint32_t wordOf(const Q_IPV6ADDR &a, int i)
{
    return std::uint32_t(a[4 * i]) << 24 | std::uint32_t(a[4 * i + 1]) << 16 | std::uint32_t(a[4 * i + 2]) << 8
        | std::uint32_t(a[4 * i + 3]);
}

} // namespace

// The program: the IP version from the header's first nibble; IPv4 compares the source word
// with each IPv4 address, IPv6 the four source words with each IPv6 address; a match jumps to
// the last instruction, which accepts; anything else drops. Jumps go forward only.
bool admitOnly(qintptr socket, const QList<QHostAddress> &sources)
{
    if (socket < 0 || sources.size() > MaxSources)
        return false;
    std::vector<std::uint32_t> v4;
    std::vector<Q_IPV6ADDR> v6;
    for (const QHostAddress &a : sources) {
        bool isV4 = false;
        const quint32 address = a.toIPv4Address(&isV4); // IPv4-mapped IPv6 too: the datagram comes as IPv4
        if (isV4)
            v4.push_back(address);
        else if (a.protocol() == QAbstractSocket::IPv6Protocol)
            v6.push_back(a.toIPv6Address());
    }
    const std::size_t v4Length = 2 + v4.size();     // ld, the jeqs, drop
    const std::size_t v6Length = 1 + 8 * v6.size(); // four ld/jeq pairs each, drop
    const std::size_t acceptAt = 3 + v4Length + v6Length;
    std::vector<sock_filter> code;
    code.reserve(acceptAt + 1);
    code.push_back(op(BPF_LD | BPF_B | BPF_ABS, Net));
    code.push_back(op(BPF_ALU | BPF_RSH | BPF_K, 4));
    code.push_back(op(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, std::uint8_t(v4Length)));
    code.push_back(op(BPF_LD | BPF_W | BPF_ABS, Net + V4Source));
    for (const std::uint32_t address : v4)
        code.push_back(op(BPF_JMP | BPF_JEQ | BPF_K, address, std::uint8_t(acceptAt - code.size() - 1), 0));
    code.push_back(op(BPF_RET | BPF_K, Drop));
    for (const Q_IPV6ADDR &address : v6) {
        const std::size_t next = code.size() + 8;
        for (int word = 0; word < 4; ++word) {
            code.push_back(op(BPF_LD | BPF_W | BPF_ABS, Net + V6Source + 4 * std::uint32_t(word)));
            const std::size_t at = code.size();
            code.push_back(op(BPF_JMP | BPF_JEQ | BPF_K, wordOf(address, word),
                              std::uint8_t(word == 3 ? acceptAt - at - 1 : 0), std::uint8_t(next - at - 1)));
        }
    }
    code.push_back(op(BPF_RET | BPF_K, Drop));
    code.push_back(op(BPF_RET | BPF_K, Accept));
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    return ::setsockopt(int(socket), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

} // namespace vantor::onair
