// The path of the running executable on Linux, read from /proc/self/exe.
// Shared by the plug-in's host lookup and the stand-in host.
#pragma once

#include <unistd.h>
#include <climits>
#include <string>

namespace tarvex {

// The full path, or "" when /proc is not readable.
inline std::string executablePath() {
    char path[PATH_MAX + 1] = {};
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace tarvex
