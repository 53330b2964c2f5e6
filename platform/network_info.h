// Facts about the machine's network: the IPv4 addresses of its adapters and the DNS
// servers it is configured with.
//
// The adapters are those of the calling thread's network namespace (read through the
// kernel's netlink answer, which follows the namespace, not through sysfs).
//
// Threads: any; nothing is shared between calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qav::platform {

// One IPv4 address of one adapter.
struct NetworkAdapterAddress {
    std::string interfaceName;  // "eth0"; an alias label "eth0:1" is folded into "eth0"
    bool up = false;            // administratively up and running (carrier present)
    uint32_t address = 0;       // network byte order
    uint32_t broadcast = 0;     // network byte order; 0 when the address has none
};

// Every IPv4 address of every adapter, in the kernel's order, up or not. False with
// `errorCode` when the list cannot be read (`adapters` then untouched).
bool ReadNetworkAdapters(std::vector<NetworkAdapterAddress>& adapters, int& errorCode);

// The IPv4 addresses of the `nameserver` lines of a resolv.conf file, in the file's order
// (network byte order; lines naming anything else are skipped). False with `errorCode`
// when the file cannot be read (`servers` then untouched).
bool ReadDnsServers(const std::string& resolvConfPath, std::vector<uint32_t>& servers,
                    int& errorCode);

}  // namespace qav::platform
