#include "korvanth/platform/listen_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace korvanth {

namespace {
// Whether `address` is one of this machine's loopback addresses.
bool isLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family == AF_INET6) {
        const in6_addr& six = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&six)) return true;
        return IN6_IS_ADDR_V4MAPPED(&six) && six.s6_addr[12] == 127;
    }
    return false;
}
}  // namespace

bool parseListenAddress(const std::string& option, const std::string& text, std::string& address, int& port,
                        std::string& error) {
    std::string portText = text;
    address = "127.0.0.1";
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        if (address.empty() || address.find_first_of("[]/ ") != std::string::npos ||
            (address.find(':') != std::string::npos && text.front() != '[')) {
            error = option + " " + text + ": not [ADDR:]PORT (an IPv6 address goes in brackets)";
            return false;
        }
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(portText) > 65535) {
        error = option + " " + text + ": the port must be a number from 0 to 65535";
        return false;
    }
    port = std::stoi(portText);
    return true;
}

bool isLoopbackAddress(const std::string& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) return false;
    bool loopback = found != nullptr;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) loopback = loopback && isLoopback(a->ai_addr);
    freeaddrinfo(found);
    return loopback;
}

}  // namespace korvanth
