// Finding the host executable inside the running process and its exported
// functions by name. One implementation per platform; the build picks it.
#pragma once

// A host function's address as the lookup finds it. The table keeps the
// functions the plug-in calls as their own types (tarvex/host_callbacks.h)
// and the others as found.
extern "C" typedef void (*HostFunctionAddress)();

namespace tarvex {

struct HostLookup {
    // The host executable's module if it is the process's program (already
    // loaded; no reference is taken), otherwise null.
    void* (*findHostModule)();
    // The function exported under `name` by `module`, or null.
    HostFunctionAddress (*findFunction)(void* module, const char* name);
};

// The lookup of the platform the library was built for.
const HostLookup& platformHostLookup();

}  // namespace tarvex
