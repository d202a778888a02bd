#include "SandboxEnv.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

namespace SandboxEnv {

bool readFile(const std::string &path, std::string *content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    *content = out.str();
    return true;
}

std::map<std::string, std::string> read(const std::string &path, std::string *error)
{
    std::map<std::string, std::string> values;
    std::string text;
    if (!readFile(path, &text)) {
        if (error)
            *error = "cannot read " + path;
        return values;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::string ownDirectory()
{
    if (const char *dir = std::getenv("KIV_SANDBOX_DIR"); dir && *dir)
        return dir;
    char resolved[PATH_MAX];
    if (realpath("/etc/kiv-sandbox", resolved))
        return resolved;
    return {};
}

std::string deviceDirectory()
{
    char resolved[PATH_MAX];
    if (!realpath("/etc/kiv-sandbox", resolved))
        return {};
    const std::string dir = resolved;
    const std::string sandboxes = "/run/kiv-sandbox/kivsb-";
    struct stat st;
    if (dir.compare(0, sandboxes.size(), sandboxes) != 0 || stat((dir + "/env").c_str(), &st) != 0)
        return {};
    return dir;
}

std::string deviceRefusal()
{
    std::string init;
    if (!readFile("/proc/1/comm", &init) || init != "kiv-sandbox-ns\n")
        return "PID 1 is not the init of a sandbox device";
    for (const char *type : {"net", "mnt", "pid"}) {
        struct stat own, device;
        const std::string suffix = std::string("/ns/") + type;
        if (stat(("/proc/self" + suffix).c_str(), &own) != 0 || stat(("/proc/1" + suffix).c_str(), &device) != 0
            || own.st_dev != device.st_dev || own.st_ino != device.st_ino)
            return std::string("not in the ") + type + " namespace of the sandbox device";
    }
    if (deviceDirectory().empty())
        return "/etc/kiv-sandbox does not lead to a sandbox directory";
    return {};
}

} // namespace SandboxEnv
