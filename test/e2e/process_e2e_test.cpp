// The built host executables as child processes, and the exported symbols of
// the library and the hosts as the dynamic linker sees them.
#include <gtest/gtest.h>

#include "korvanth/host/host_state.h"
#include "tarvex/plugin_version.h"

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#if !defined(_WIN32)
#include <sys/wait.h>

namespace e2e {
namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;
};

Outcome run(const std::string& command) {
    Outcome outcome;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// The names of the defined dynamic symbols of a binary, as nm lists them.
std::set<std::string> exportedNames(const std::string& binary) {
    const Outcome listed = run(quoted(TARVEX_NM) + " -D --defined-only " + quoted(binary));
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    std::set<std::string> names;
    std::istringstream lines(listed.output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t blank = line.find_last_of(' ');
        if (blank != std::string::npos) names.insert(line.substr(blank + 1));
    }
    return names;
}

struct HostBuild {
    const char* path;
    const char* missing;  // the one host function it lacks, or ""
    bool accepts;
};

const HostBuild hosts[] = {
    {KORVANTH_PATH, "", true},
    {KORVANTH_NO_VERSION_PATH, "tGetVersionOfKRV", false},
    {KORVANTH_NO_BETA_MAPS_PATH, "tGetBetaMaps", true},
    {KORVANTH_NO_LOG_TEXT_PATH, "tLogText", false},
};

TEST(HostProcess, EachHostBindsAsItsExportsAllow) {
    for (const HostBuild& h : hosts) {
        const Outcome o = run(quoted(h.path) + " --init-only --plugin " + quoted(TARVEX_PLUGIN_PATH));
        EXPECT_EQ(o.exitCode, h.accepts ? 0 : 3) << h.path << '\n' << o.output;
        EXPECT_NE(o.output.find(h.accepts ? "initPlugin: accepted" : "initPlugin: refused"), std::string::npos)
            << h.path << '\n'
            << o.output;
        EXPECT_NE(
            o.output.find(std::string("Plug-in: Tarvex: real-time Quality Control Plugin ") + tarvex::pluginVersion),
            std::string::npos)
            << o.output;
    }
}

TEST(HostProcess, HostOlderThanThreeIsRefused) {
    const std::string command = quoted(KORVANTH_PATH) + " --init-only --plugin " + quoted(TARVEX_PLUGIN_PATH);
    const Outcome old = run(command + " --host-version 2.99.99");
    EXPECT_EQ(old.exitCode, 3) << old.output;
    EXPECT_NE(old.output.find("initPlugin: refused host version 2.99.99"), std::string::npos) << old.output;
    const Outcome oldest = run(command + " --host-version 3.0.0");
    EXPECT_EQ(oldest.exitCode, 0) << oldest.output;
}

TEST(ExportedSymbols, EachHostVariantLacksExactlyItsFunction) {
    for (const HostBuild& h : hosts) {
        const std::set<std::string> names = exportedNames(h.path);
        for (const char* function : korvanth::hostCallNames)
            EXPECT_EQ(names.count(function), std::string(function) == h.missing ? 0u : 1u)
                << h.path << ": " << function;
    }
}

TEST(ExportedSymbols, LibraryExportsTheSixCFunctionsUndecorated) {
    const std::set<std::string> names = exportedNames(TARVEX_PLUGIN_PATH);
    for (const char* function :
         {"createPlugin", "getPluginName", "getPluginDescription", "getAuthor", "getHelpFile", "getPluginVersion"})
        EXPECT_EQ(names.count(function), 1u) << function;
    // Everything else exported belongs to the two classes of the interface.
    for (const std::string& name : names) {
        if (name.rfind("get", 0) == 0 || name == "createPlugin") continue;
        EXPECT_TRUE(name.find("12TarvexPlugin") != std::string::npos ||
                    name.find("18KRVPluginInterface") != std::string::npos)
            << name;
    }
}

}  // namespace
}  // namespace e2e

#endif
