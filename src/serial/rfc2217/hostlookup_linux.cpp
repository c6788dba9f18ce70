#include "hostresolver.h"

#include <netdb.h>
#include <sys/socket.h>

namespace vantor::serial {

std::vector<std::string> SystemHostResolver::systemLookup(const std::string &name)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0)
        return {};
    std::vector<std::string> out;
    for (const addrinfo *a = list; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
            out.emplace_back(text);
    }
    ::freeaddrinfo(list);
    return out;
}

} // namespace vantor::serial
