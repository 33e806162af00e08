// POSIX: the host counts as present when the process's main program is the
// executable file named "Korvanth"; its functions are the dynamic symbols of
// the main program (the host links with its symbols exported).
#include "host_lookup.h"

#include <dlfcn.h>

#include <climits>
#include <cstring>
#include <unistd.h>

namespace tarvex {

namespace {
constexpr const char* hostExecutableName = "Korvanth";

bool mainProgramIsHost() {
    char path[PATH_MAX + 1] = {};
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) return false;
    path[length] = '\0';
    const char* slash = std::strrchr(path, '/');
    const char* fileName = slash != nullptr ? slash + 1 : path;
    return std::strcmp(fileName, hostExecutableName) == 0;
}

void* findHostModule() {
    if (!mainProgramIsHost()) return nullptr;
    // dlopen(nullptr) names the main program, which is always loaded. The
    // reference it takes is dropped again: the handle stays valid for the
    // life of the process either way.
    void* const module = dlopen(nullptr, RTLD_LAZY);
    if (module != nullptr) dlclose(module);
    return module;
}

HostFunctionAddress findFunction(void* module, const char* name) {
    return reinterpret_cast<HostFunctionAddress>(dlsym(module, name));
}
}  // namespace

const HostLookup& platformHostLookup() {
    static const HostLookup lookup{&findHostModule, &findFunction};
    return lookup;
}

}  // namespace tarvex
