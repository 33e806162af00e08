#include "platform.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace korvanth {

PluginLibrary::PluginLibrary(const std::string& path) {
    // Local binding: the plug-in's own symbols never stand in for the host's.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error_ = reason != nullptr ? reason : "unknown error";
    }
}

PluginLibrary::~PluginLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

void* PluginLibrary::function(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string pluginFileName(const std::string& baseName) { return "lib" + baseName + ".so"; }

std::string executableFolder() {
    char path[PATH_MAX + 1] = {};
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) return "./";
    std::string folder(path, static_cast<std::size_t>(length));
    return folder.substr(0, folder.find_last_of('/') + 1);
}

char pathSeparator() { return '/'; }

std::FILE* createSharedLogFile(const std::string& path) { return std::fopen(path.c_str(), "w"); }

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool standardOutputShowsStyles() {
    const char* terminal = std::getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && terminal != nullptr && std::string(terminal) != "dumb";
}

}  // namespace korvanth
