#include "korvanth/host/platform.h"

#include "host/executable_path_linux.h"

#include <dlfcn.h>
#include <unistd.h>

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
    const std::string path = tarvex::executablePath();
    return path.empty() ? "./" : path.substr(0, path.find_last_of('/') + 1);
}

char pathSeparator() { return '/'; }

std::FILE* createSharedLogFile(const std::string& path) { return std::fopen(path.c_str(), "w"); }

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool standardOutputShowsStyles() {
    const char* terminal = std::getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && terminal != nullptr && std::string(terminal) != "dumb";
}

}  // namespace korvanth
