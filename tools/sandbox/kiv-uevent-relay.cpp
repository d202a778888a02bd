// kiv-uevent-relay: plays udev's part for libudev monitors of one network namespace. It receives
// the kernel's device events of the namespace it runs in and multicasts each one, unchanged apart
// from an initialisation stamp, in the libudev monitor format to the "udev" netlink group.
//
//   kiv-uevent-relay [--ready-file <path>]

#include "UdevMonitorMessage.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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
    std::vector<std::string> properties = event.properties;
    properties.push_back("USEC_INITIALIZED=" + std::to_string(monotonicMicroseconds()));
    const std::string message = UdevMonitorMessage::build(properties, event.value("SUBSYSTEM"), event.value("DEVTYPE"));
    return UdevMonitorMessage::multicast(out, message);
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
    const int in = openUeventSocket(UdevMonitorMessage::KernelGroup);
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
