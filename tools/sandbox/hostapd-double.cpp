// hostapd double: stands in for /usr/sbin/hostapd on a device without a radio. It validates the
// generated configuration file like hostapd would, reports the access point enabled, turns the
// sandbox's "station join/leave" commands into AP-STA-CONNECTED / AP-STA-DISCONNECTED lines and
// ends on SIGTERM or SIGINT.
//
//   hostapd <config-file>

#include "SandboxEnv.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Check = std::function<bool(const std::string &)>;

bool isNumber(const std::string &v)
{
    return !v.empty() && v.size() < 6 && std::all_of(v.begin(), v.end(), [](unsigned char c) { return isdigit(c); });
}

bool oneOf(const std::string &v, std::initializer_list<const char *> allowed)
{
    for (const char *a : allowed) {
        if (v == a)
            return true;
    }
    return false;
}

bool isHex(const std::string &v)
{
    return !v.empty() && v.size() % 2 == 0 && std::all_of(v.begin(), v.end(), [](unsigned char c) { return isxdigit(c); });
}

const std::map<std::string, Check> &knownItems()
{
    static const std::map<std::string, Check> items = {
        {"interface", [](const std::string &v) { return !v.empty() && v.size() < IFNAMSIZ && v.find_first_of("/ ") == std::string::npos; }},
        {"ssid", [](const std::string &v) { return !v.empty() && v.size() <= 32; }},
        {"hw_mode", [](const std::string &v) { return oneOf(v, {"a", "b", "g", "ad", "any"}); }},
        {"channel", [](const std::string &v) { return isNumber(v); }},
        {"macaddr_acl", [](const std::string &v) { return oneOf(v, {"0", "1", "2"}); }},
        {"ieee80211n", [](const std::string &v) { return oneOf(v, {"0", "1"}); }},
        {"country_code", [](const std::string &v) { return v.size() == 2 && isupper(static_cast<unsigned char>(v[0])) && isupper(static_cast<unsigned char>(v[1])); }},
        {"vendor_elements", [](const std::string &v) { return isHex(v); }},
    };
    return items;
}

bool channelFitsBand(int channel, const std::string &mode)
{
    if (mode == "a") {
        static const std::set<int> band5 = {36, 40, 44, 48, 52, 56, 60, 64, 100, 104, 108, 112, 116, 120, 124,
                                            128, 132, 136, 140, 144, 149, 153, 157, 161, 165};
        return band5.count(channel) > 0;
    }
    if (mode == "b" || mode == "g")
        return channel >= 1 && channel <= 14;
    return channel >= 0;
}

struct Config
{
    std::map<std::string, std::string> items;
    std::vector<std::string> errors;
};

Config parse(const std::string &text)
{
    Config config;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string where = "Line " + std::to_string(number) + ": ";
        if (std::any_of(line.begin(), line.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
            config.errors.push_back(where + "invalid control character");
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            config.errors.push_back(where + "invalid line '" + line + "'");
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        const auto known = knownItems().find(key);
        if (known == knownItems().end()) {
            config.errors.push_back(where + "unknown configuration item '" + key + "'");
            continue;
        }
        if (!known->second(value)) {
            config.errors.push_back(where + "invalid " + key + " '" + value + "'");
            continue;
        }
        config.items[key] = value;
    }
    for (const char *required : {"interface", "ssid", "hw_mode", "channel"}) {
        if (!config.items.count(required))
            config.errors.push_back(std::string("Missing required item '") + required + "'");
    }
    if (config.items.count("channel") && config.items.count("hw_mode")
        && !channelFitsBand(atoi(config.items["channel"].c_str()), config.items["hw_mode"])) {
        config.errors.push_back("Channel " + config.items["channel"] + " not allowed for hw_mode " + config.items["hw_mode"]);
    }
    return config;
}

std::string hardwareAddress(const std::string &interface)
{
    std::string address;
    if (!SandboxEnv::readFile("/sys/class/net/" + interface + "/address", &address))
        return "00:00:00:00:00:00";
    return address.substr(0, address.find('\n'));
}

bool isMac(const std::string &v)
{
    if (v.size() != 17)
        return false;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i % 3 == 2 ? v[i] != ':' : !isxdigit(static_cast<unsigned char>(v[i])))
            return false;
    }
    return true;
}

// The station control FIFO: "CONNECTED <mac>" or "DISCONNECTED <mac>" per line.
struct StationControl
{
    std::string path;
    int fd = -1;
    ino_t inode = 0;
    std::string pending;

    void open(const std::string &dir, const std::string &interface)
    {
        if (dir.empty()) {
            fprintf(stderr, "hostapd double: no sandbox directory, stations cannot join\n");
            return;
        }
        path = dir + "/hostapd-" + interface + ".ctl";
        unlink(path.c_str());
        struct stat st;
        if (mkfifo(path.c_str(), 0600) != 0 || (fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0
            || fstat(fd, &st) != 0) {
            fprintf(stderr, "hostapd double: cannot create %s: %s\n", path.c_str(), strerror(errno));
            fd = -1;
            return;
        }
        inode = st.st_ino;
    }

    void close()
    {
        struct stat st;
        if (fd >= 0 && stat(path.c_str(), &st) == 0 && st.st_ino == inode)
            unlink(path.c_str());
    }
};

void handleControl(StationControl &control, const std::string &interface)
{
    char buf[512];
    const ssize_t n = read(control.fd, buf, sizeof buf);
    if (n <= 0)
        return;
    control.pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = control.pending.find('\n')) != std::string::npos) {
        const std::string line = control.pending.substr(0, nl);
        control.pending.erase(0, nl + 1);
        const auto space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string mac = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (!isMac(mac) || (word != "CONNECTED" && word != "DISCONNECTED")) {
            fprintf(stderr, "hostapd double: ignoring control line '%s'\n", line.c_str());
            continue;
        }
        if (word == "CONNECTED")
            printf("%s: STA %s IEEE 802.11: associated\n", interface.c_str(), mac.c_str());
        else
            printf("%s: STA %s IEEE 802.11: disassociated\n", interface.c_str(), mac.c_str());
        printf("%s: AP-STA-%s %s\n", interface.c_str(), word.c_str(), mac.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 2) {
        fprintf(stderr, "usage: hostapd <config-file>\n");
        return 1;
    }
    const std::string path = argv[1];
    std::string text;
    if (!SandboxEnv::readFile(path, &text)) {
        printf("Could not open configuration file '%s' for reading.\n", path.c_str());
        printf("Failed to set up interface with %s\n", path.c_str());
        return 1;
    }
    Config config = parse(text);
    if (!config.errors.empty()) {
        for (const std::string &e : config.errors)
            printf("%s\n", e.c_str());
        printf("%zu errors found in configuration file '%s'\n", config.errors.size(), path.c_str());
        printf("Failed to set up interface with %s\n", path.c_str());
        return 1;
    }
    const std::string interface = config.items["interface"];
    printf("Configuration file: %s\n", path.c_str());
    if (if_nametoindex(interface.c_str()) == 0) {
        printf("Could not read interface %s flags: No such device\n", interface.c_str());
        return 1;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int sigFd = signalfd(-1, &signals, SFD_CLOEXEC);

    StationControl control;
    control.open(SandboxEnv::ownDirectory(), interface);
    printf("Using interface %s with hwaddr %s and ssid \"%s\"\n", interface.c_str(), hardwareAddress(interface).c_str(),
           config.items["ssid"].c_str());
    printf("%s: interface state UNINITIALIZED->ENABLED\n", interface.c_str());
    printf("%s: AP-ENABLED\n", interface.c_str());

    for (;;) {
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {control.fd, POLLIN, 0}};
        if (poll(fds, control.fd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN)
            break;
        if (control.fd >= 0 && (fds[1].revents & POLLIN))
            handleControl(control, interface);
    }
    control.close();
    printf("%s: interface state ENABLED->DISABLED\n", interface.c_str());
    printf("%s: AP-DISABLED\n", interface.c_str());
    return 0;
}
