#pragma once

// What udevd multicasts to libudev monitors once it has processed a device event: a "libudev"
// header, then the event's NUL-terminated KEY=VALUE properties. The sandbox's uevent relay sends
// these for the kernel's events; tests send hand-made ones (no Qt).

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <sys/socket.h>

namespace UdevMonitorMessage {

// Netlink groups of NETLINK_KOBJECT_UEVENT: the kernel's raw events and udevd's processed ones.
enum Group : uint32_t { KernelGroup = 1, UdevGroup = 2 };

const uint32_t Magic = 0xfeedcafe;

struct Header
{
    char prefix[8];
    uint32_t magic;
    uint32_t headerSize;
    uint32_t propertiesOffset;
    uint32_t propertiesLength;
    uint32_t subsystemHash;
    uint32_t devtypeHash;
    uint32_t tagBloomHigh;
    uint32_t tagBloomLow;
};

// MurmurHash2 with seed 0: the hash libudev's socket filter compares subsystem and device type with.
inline uint32_t murmurHash2(const std::string &text)
{
    const uint32_t m = 0x5bd1e995;
    const auto *data = reinterpret_cast<const unsigned char *>(text.data());
    size_t len = text.size();
    uint32_t h = static_cast<uint32_t>(len);
    while (len >= 4) {
        uint32_t k;
        memcpy(&k, data, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        len -= 4;
    }
    switch (len) {
    case 3:
        h ^= static_cast<uint32_t>(data[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= static_cast<uint32_t>(data[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// The whole message for properties given as "KEY=VALUE" texts; an empty devtype is not hashed.
inline std::string build(const std::vector<std::string> &properties, const std::string &subsystem,
                         const std::string &devtype = {})
{
    std::string blob;
    for (const std::string &p : properties)
        blob.append(p).push_back('\0');
    Header header = {};
    memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(Magic);
    header.headerSize = sizeof header;
    header.propertiesOffset = sizeof header;
    header.propertiesLength = static_cast<uint32_t>(blob.size());
    header.subsystemHash = htonl(murmurHash2(subsystem));
    if (!devtype.empty())
        header.devtypeHash = htonl(murmurHash2(devtype));
    return std::string(reinterpret_cast<const char *>(&header), sizeof header) + blob;
}

// Multicasts a message to the udev group of the socket's network namespace.
inline bool multicast(int fd, const std::string &message)
{
    sockaddr_nl to = {};
    to.nl_family = AF_NETLINK;
    to.nl_groups = UdevGroup;
    // The multicast is delivered even when the kernel refuses the unicast half of the send.
    return sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0
        || errno == ECONNREFUSED;
}

} // namespace UdevMonitorMessage
