#include "hostresolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace vantor::serial {

namespace {
// Winsock counts its users; this one stays for the life of the process, as the lookup threads
// may outlive every object of ours.
bool winsockStarted()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
} // namespace

std::vector<std::string> SystemHostResolver::systemLookup(const std::string &name)
{
    if (!winsockStarted())
        return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0)
        return {};
    std::vector<std::string> out;
    for (const addrinfo *a = list; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, socklen_t(a->ai_addrlen), text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
            out.emplace_back(text);
    }
    ::freeaddrinfo(list);
    return out;
}

} // namespace vantor::serial
