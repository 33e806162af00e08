// Windows: the host is the module "Korvanth.exe" already loaded in the
// process; its functions are that executable's exports.
#include "plugin/host_binding/host_lookup.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace tarvex {

namespace {
void* findHostModule() {
    // Neither loads the module nor adds a reference to it.
    return reinterpret_cast<void*>(GetModuleHandleA("Korvanth.exe"));
}

HostFunctionAddress findFunction(void* module, const char* name) {
    return reinterpret_cast<HostFunctionAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
}
}  // namespace

const HostLookup& platformHostLookup() {
    static const HostLookup lookup{&findHostModule, &findFunction};
    return lookup;
}

}  // namespace tarvex
