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

// Empty when the calling process runs inside a sandbox device: PID 1 is the device's init and shares
// the caller's network, mount and PID namespaces, and /etc/kiv-sandbox leads to a sandbox directory.
// Otherwise the reason it does not; programs that change links check this before touching any.
std::string deviceRefusal();

// The sandbox directory behind the device's /etc/kiv-sandbox link; empty outside a device.
std::string deviceDirectory();

} // namespace SandboxEnv
