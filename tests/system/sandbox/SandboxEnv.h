#pragma once

// Small helpers shared by the sandbox's namespace launcher and its test doubles (no Qt).

#include <map>
#include <string>

namespace SandboxEnv {

// Reads a sandbox "env" file of KEY=VALUE lines; comments and blank lines are skipped.
std::map<std::string, std::string> read(const std::string &path, std::string *error);

// Whole content of a small file, or false when it cannot be read.
bool readFile(const std::string &path, std::string *content);

// Directory of the sandbox this process runs in: $KIV_SANDBOX_DIR, else the device's /etc/kiv-sandbox link.
std::string ownDirectory();

} // namespace SandboxEnv
