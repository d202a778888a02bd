// kiv-uevent-relay: plays udev's part for libudev monitors of one network namespace. It receives
// the kernel's device events of the namespace it runs in and multicasts each one, unchanged apart
// from an initialisation stamp, in the libudev monitor format to the "udev" netlink group.
//
//   kiv-uevent-relay [--ready-file <path>]

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum NetlinkGroup : uint32_t { KernelGroup = 1, UdevGroup = 2 };

const uint32_t MonitorMagic = 0xfeedcafe;

// Header libudev expects in front of the properties of a processed event.
struct MonitorHeader
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
uint32_t murmurHash2(const std::string &text)
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

struct Event
{
    std::vector<std::string> properties;

    std::string value(const std::string &key) const
    {
        const std::string prefix = key + "=";
        for (const std::string &p : properties) {
            if (p.compare(0, prefix.size(), prefix) == 0)
                return p.substr(prefix.size());
        }
        return {};
    }
};

// A kernel event is "action@devpath" followed by NUL-terminated KEY=VALUE properties.
bool parseKernelEvent(const char *buf, size_t len, Event *event)
{
    const size_t headLen = strnlen(buf, len);
    if (headLen == len || !memchr(buf, '@', headLen))
        return false;
    for (size_t pos = headLen + 1; pos < len;) {
        const size_t n = strnlen(buf + pos, len - pos);
        if (n > 0 && memchr(buf + pos, '=', n))
            event->properties.emplace_back(buf + pos, n);
        pos += n + 1;
    }
    return !event->value("ACTION").empty() && !event->value("SUBSYSTEM").empty();
}

uint64_t monotonicMicroseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool forward(int out, const Event &event)
{
    std::string blob;
    for (const std::string &p : event.properties)
        blob.append(p).push_back('\0');
    blob.append("USEC_INITIALIZED=" + std::to_string(monotonicMicroseconds())).push_back('\0');

    MonitorHeader header = {};
    memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(MonitorMagic);
    header.headerSize = sizeof header;
    header.propertiesOffset = sizeof header;
    header.propertiesLength = static_cast<uint32_t>(blob.size());
    header.subsystemHash = htonl(murmurHash2(event.value("SUBSYSTEM")));
    const std::string devtype = event.value("DEVTYPE");
    if (!devtype.empty())
        header.devtypeHash = htonl(murmurHash2(devtype));

    iovec iov[2] = {{&header, sizeof header}, {blob.data(), blob.size()}};
    sockaddr_nl to = {};
    to.nl_family = AF_NETLINK;
    to.nl_groups = UdevGroup;
    msghdr msg = {};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    // The multicast is delivered even when the kernel refuses the unicast half of the send.
    return sendmsg(out, &msg, 0) >= 0 || errno == ECONNREFUSED;
}

int openUeventSocket(uint32_t groups)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -1;
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = groups;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    std::string readyFile;
    if (argc == 3 && std::string(argv[1]) == "--ready-file") {
        readyFile = argv[2];
    } else if (argc != 1) {
        fprintf(stderr, "usage: kiv-uevent-relay [--ready-file <path>]\n");
        return 2;
    }
    setvbuf(stderr, nullptr, _IOLBF, 0);
    const int in = openUeventSocket(KernelGroup);
    const int out = openUeventSocket(0);
    if (in < 0 || out < 0) {
        fprintf(stderr, "kiv-uevent-relay: cannot open uevent sockets: %s\n", strerror(errno));
        return 1;
    }
    const int bufferSize = 4 * 1024 * 1024;
    setsockopt(in, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize);
    if (!readyFile.empty()) {
        const int fd = open(readyFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0) {
            fprintf(stderr, "kiv-uevent-relay: cannot create %s: %s\n", readyFile.c_str(), strerror(errno));
            return 1;
        }
        close(fd);
    }
    fprintf(stderr, "kiv-uevent-relay: relaying kernel events to the udev group\n");
    std::vector<char> buf(64 * 1024);
    for (;;) {
        sockaddr_nl from = {};
        iovec iov = {buf.data(), buf.size()};
        msghdr msg = {};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = recvmsg(in, &msg, 0);
        if (n < 0) {
            if (errno == EINTR || errno == ENOBUFS)
                continue;
            fprintf(stderr, "kiv-uevent-relay: receive failed: %s\n", strerror(errno));
            return 1;
        }
        Event event;
        if (from.nl_pid != 0 || !parseKernelEvent(buf.data(), static_cast<size_t>(n), &event))
            continue;
        const bool sent = forward(out, event);
        if (event.value("SUBSYSTEM") == "net") {
            fprintf(stderr, "kiv-uevent-relay: %s %s seq %s%s\n", event.value("ACTION").c_str(),
                    event.value("INTERFACE").c_str(), event.value("SEQNUM").c_str(), sent ? "" : " (send failed)");
        }
    }
}
