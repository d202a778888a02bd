#include "SandboxEnv.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

} // namespace SandboxEnv
