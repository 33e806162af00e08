// Linux: the host counts as present when the process's main program is the
// executable file named "Korvanth"; its functions are the dynamic symbols of
// the main program (the host links with its symbols exported).
#include "plugin/host_binding/executable_path_linux.h"
#include "plugin/host_binding/host_lookup.h"

#include <dlfcn.h>

namespace tarvex {

namespace {
constexpr const char* hostExecutableName = "Korvanth";

bool mainProgramIsHost() {
    const std::string path = executablePath();
    return !path.empty() && path.substr(path.find_last_of('/') + 1) == hostExecutableName;
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
