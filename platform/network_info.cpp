#include "platform/network_info.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/socket.h"

namespace qav::platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// One line of resolv.conf: "nameserver <address>" with blanks around the words.
void ParseResolvConfLine(std::string_view line, std::vector<uint32_t>& servers) {
    constexpr std::string_view kKeyword = "nameserver";
    size_t position = 0;
    while (position < line.size() && IsBlank(line[position])) {
        ++position;
    }
    if (line.substr(position, kKeyword.size()) != kKeyword) {
        return;
    }
    position += kKeyword.size();
    if (position >= line.size() || !IsBlank(line[position])) {
        return;  // "nameservers" or a bare keyword
    }
    while (position < line.size() && IsBlank(line[position])) {
        ++position;
    }
    size_t end = position;
    while (end < line.size() && !IsBlank(line[end])) {
        ++end;
    }
    const std::string token(line.substr(position, end - position));
    uint32_t address = 0;
    if (ParseDottedAddress(token.c_str(), address)) {
        servers.push_back(address);
    }
}

}  // namespace

bool ReadNetworkAdapters(std::vector<NetworkAdapterAddress>& adapters, int& errorCode) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        errorCode = errno;
        return false;
    }
    std::vector<NetworkAdapterAddress> result;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_name == nullptr) {
            continue;
        }
        NetworkAdapterAddress item;
        // An alias address is listed under its label ("eth0:1"); it belongs to "eth0".
        const std::string_view name(entry->ifa_name);
        item.interfaceName = std::string(name.substr(0, name.find(':')));
        const unsigned flags = entry->ifa_flags;
        item.up = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
        item.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        // ifa_broadaddr shares its slot with the point-to-point destination: only the
        // broadcast flag says which one it is. When the kernel gave no broadcast address,
        // the slot holds the address itself, which is no broadcast address at all.
        if ((flags & IFF_BROADCAST) != 0 && entry->ifa_broadaddr != nullptr &&
            entry->ifa_broadaddr->sa_family == AF_INET) {
            const uint32_t broadcast =
                reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr.s_addr;
            item.broadcast = broadcast != item.address ? broadcast : 0;
        }
        result.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    adapters = std::move(result);
    return true;
}

bool ReadDnsServers(const std::string& resolvConfPath, std::vector<uint32_t>& servers,
                    int& errorCode) {
    const int file = ::open(resolvConfPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        errorCode = errno;
        return false;
    }
    // Read as a stream of lines; a line longer than any sensible one is skipped whole
    // rather than kept growing.
    constexpr size_t kMaxLineLength = 1024;
    std::vector<uint32_t> result;
    std::string line;
    bool lineTooLong = false;
    char chunk[4096];
    for (;;) {
        const ssize_t count = ::read(file, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            errorCode = errno;
            ::close(file);
            return false;
        }
        for (ssize_t i = 0; i < count; ++i) {
            if (chunk[i] == '\n') {
                if (!lineTooLong) {
                    ParseResolvConfLine(line, result);
                }
                line.clear();
                lineTooLong = false;
            } else if (line.size() < kMaxLineLength) {
                line.push_back(chunk[i]);
            } else {
                lineTooLong = true;
            }
        }
        if (count == 0) {
            break;
        }
    }
    ::close(file);
    if (!lineTooLong) {
        ParseResolvConfLine(line, result);
    }
    servers = std::move(result);
    return true;
}

}  // namespace qav::platform
