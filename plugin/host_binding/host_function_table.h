// The plug-in's record of the host's exported functions.
#pragma once

#include "plugin/host_binding/host_lookup.h"
#include "tarvex/host_callbacks.h"
#include "tarvex/host_function_list.h"

namespace tarvex {

// One entry per host function, in resolution order. An entry holds the address
// the host exports under the entry's name, or null. Typed entries are the
// functions the plug-in calls; the others are resolved and never called.
struct HostFunctionTable {
#define TARVEX_CALLED_ENTRY(stem) t##stem##_fn t##stem;
#define TARVEX_RESOLVED_ENTRY(stem) HostFunctionAddress t##stem;
    TARVEX_HOST_FUNCTIONS(TARVEX_CALLED_ENTRY, TARVEX_RESOLVED_ENTRY)
#undef TARVEX_CALLED_ENTRY
#undef TARVEX_RESOLVED_ENTRY
};

// Each entry adds "+1" to the sum that follows the 0: no parentheses.
#define TARVEX_COUNT_ENTRY(stem) +1  // NOLINT(bugprone-macro-parentheses)
constexpr int hostFunctionCount = 0 TARVEX_HOST_FUNCTIONS_ALL(TARVEX_COUNT_ENTRY);
#undef TARVEX_COUNT_ENTRY
static_assert(hostFunctionCount == 44 && sizeof(HostFunctionTable) == 44 * sizeof(HostFunctionAddress),
              "one slot per host function");

// The process's one table. All entries are null until initPlugin fills it;
// afterwards it is only read.
HostFunctionTable& hostFunctions();

// Fills the table by name from the running host, through `lookup` (the
// platform's own unless a test passes another). Returns false, leaving
// the table as it was, when the host executable is not in the process; false
// with slot 0 null and the other slots as they were when the host lacks
// tGetVersionOfKRV; false after filling every slot when the host lacks any
// other function the plug-in calls; true otherwise.
bool loadHostFunctions(const HostLookup& lookup = platformHostLookup());

// True for every host version from 3.0.0 on, compared part by part as signed numbers.
bool hostVersionAccepted(int32_t major, int32_t minor, int32_t subMinor);

// initPlugin's work: load the table, then ask the host's version and apply the gate.
bool bindToHost(const HostLookup& lookup = platformHostLookup());

}  // namespace tarvex
