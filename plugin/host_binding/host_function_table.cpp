#include "plugin/host_binding/host_function_table.h"

#include <type_traits>

namespace tarvex {

namespace {
HostFunctionTable table{};  // all null at load

bool hasEveryCalledFunction(const HostFunctionTable& t) {
#define TARVEX_PRESENT(stem) &&t.t##stem != nullptr
#define TARVEX_IGNORED(stem)
    return true TARVEX_HOST_FUNCTIONS(TARVEX_PRESENT, TARVEX_IGNORED);
#undef TARVEX_PRESENT
#undef TARVEX_IGNORED
}
}  // namespace

HostFunctionTable& hostFunctions() { return table; }

bool loadHostFunctions(const HostLookup& lookup) {
    void* const module = lookup.findHostModule();
    if (module == nullptr) return false;

    // Every answer is stored as it comes, null included; only the version
    // function decides whether the rest is resolved at all.
    auto resolve = [&](auto& entry, const char* name) {
        using Entry = std::remove_reference_t<decltype(entry)>;
        entry = reinterpret_cast<Entry>(lookup.findFunction(module, name));
    };
    HostFunctionTable& t = table;
    resolve(t.tGetVersionOfKRV, "tGetVersionOfKRV");
    if (t.tGetVersionOfKRV == nullptr) return false;
#define TARVEX_RESOLVE_AFTER_VERSION(stem) \
    if (&t.t##stem != static_cast<void*>(&t.tGetVersionOfKRV)) resolve(t.t##stem, "t" #stem);
    TARVEX_HOST_FUNCTIONS_ALL(TARVEX_RESOLVE_AFTER_VERSION)
#undef TARVEX_RESOLVE_AFTER_VERSION

    // The plug-in calls its functions without testing them, so a host that
    // lacks one of them is refused here rather than crashed later.
    return hasEveryCalledFunction(t);
}

bool hostVersionAccepted(int32_t major, int32_t minor, int32_t subMinor) {
    if (major != 3) return major > 3;
    if (minor != 0) return minor > 0;
    return subMinor >= 0;
}

bool bindToHost(const HostLookup& lookup) {
    if (!loadHostFunctions(lookup)) return false;
    int32_t major = 0, minor = 0, subMinor = 0;
    table.tGetVersionOfKRV(&major, &minor, &subMinor);
    return hostVersionAccepted(major, minor, subMinor);
}

}  // namespace tarvex
