// Stand-in of the vendor's CTP data-collection library: real host information as
// "os=...;host=...;cpu=...;mac=...;boot=..." text.

#include "ctp_sysinfo.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Each value is clipped so that all five fit the buffer with their keys.
constexpr std::size_t kMaxValue = 60;

std::string clipped(std::string value) {
    if (value.size() > kMaxValue) {
        value.resize(kMaxValue);
    }
    return value;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of the first "key<sep>value" line of a /proc file, or "" when there is none.
std::string proc_field(const char* path, const std::string& key, char separator) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const auto at = line.find(separator);
        if (at != std::string::npos && trimmed(line.substr(0, at)) == key) {
            return trimmed(line.substr(at + 1));
        }
    }
    return "";
}

std::string first_mac_address() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return "";
    }
    std::string mac;
    for (const ifaddrs* it = interfaces; it != nullptr && mac.empty(); it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET ||
            (it->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        if (link->sll_halen != 6) {
            continue;
        }
        const unsigned char* a = link->sll_addr;
        char text[18];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3],
                      a[4], a[5]);
        mac = text;
    }
    freeifaddrs(interfaces);
    return mac;
}

std::string host_information() {
    utsname host{};
    uname(&host);
    std::string info;
    info += "os=" + clipped(std::string(host.sysname) + " " + host.release);
    info += ";host=" + clipped(host.nodename);
    info += ";cpu=" + clipped(proc_field("/proc/cpuinfo", "model name", ':'));
    info += ";mac=" + clipped(first_mac_address());
    info += ";boot=" + clipped(proc_field("/proc/stat", "btime", ' '));
    return info;
}

}  // namespace

int CTP_GetSystemInfo(char* buffer, int& length) {
    if (buffer == nullptr) {
        return -1;
    }
    std::string info = host_information();
    if (info.size() >= static_cast<std::size_t>(CTP_SYSTEM_INFO_SIZE)) {
        info.resize(CTP_SYSTEM_INFO_SIZE - 1);
    }
    std::memcpy(buffer, info.c_str(), info.size() + 1);
    length = static_cast<int>(info.size());
    return 0;
}
