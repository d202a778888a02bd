// dnsd double: stands in for busybox dnsd at /usr/sbin/dnsd. It validates its configuration file
// of "name<blank>IPv4-address" lines, reports the names it would answer, stays up and ends on
// SIGTERM or SIGINT.
//
//   dnsd -c <config-file>

#include "SandboxEnv.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <unistd.h>

namespace {

bool isHostName(const std::string &name)
{
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.front() == '-')
        return false;
    for (unsigned char c : name) {
        if (!isalnum(c) && c != '.' && c != '-')
            return false;
    }
    return true;
}

bool isIpv4(const std::string &text)
{
    in_addr addr;
    return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 3 || std::string(argv[1]) != "-c") {
        fprintf(stderr, "usage: dnsd -c <config-file>\n");
        return 1;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const std::string path = argv[2];
    std::string text;
    if (!SandboxEnv::readFile(path, &text)) {
        printf("dnsd: can't open '%s'\n", path.c_str());
        return 1;
    }
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> entries;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream fields(line);
        std::string name, address, extra;
        fields >> name;
        if (name.empty() || name[0] == '#')
            continue;
        fields >> address >> extra;
        if (!isHostName(name) || !isIpv4(address) || !extra.empty()) {
            printf("dnsd: bad line %d in %s: '%s'\n", number, path.c_str(), line.c_str());
            return 1;
        }
        entries.push_back(name + " " + address);
    }
    if (entries.empty()) {
        printf("dnsd: no names in %s\n", path.c_str());
        return 1;
    }
    for (const std::string &e : entries)
        printf("dnsd: serving %s\n", e.c_str());
    printf("dnsd: Accepting UDP packets on 0.0.0.0:53\n");

    int sig = 0;
    sigwait(&signals, &sig);
    printf("dnsd: exiting on signal %d\n", sig);
    return 0;
}
