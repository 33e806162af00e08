// What the host needs of the operating system. One implementation per platform.
#pragma once

#include <cstdio>
#include <string>

namespace korvanth {

class PluginLibrary {
public:
    // Loads the library; on failure isLoaded() is false and error() says why.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();  // unloads it
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool isLoaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    // The library's exported function `name`, or null.
    void* function(const char* name) const;

private:
    void* handle_ = nullptr;
    std::string error_;
};

// The file name a plug-in library called `baseName` has on this platform
// ("libtarvex_qc.so", "tarvex_qc.dll").
std::string pluginFileName(const std::string& baseName);

// The folder of the running executable, with a trailing separator.
std::string executableFolder();

// The path separator of this platform.
char pathSeparator();

// Creates (truncates) a text file for writing that other processes may open
// for reading and writing while it is open, as a host's live log must be.
std::FILE* createSharedLogFile(const std::string& path);

// Whether the process's standard error is a terminal (progress lines go there).
bool standardErrorIsTerminal();

// True when standard output is a terminal that renders bold and italic
// escape sequences (the host log's <b> and <i> are shown so).
bool standardOutputShowsStyles();

}  // namespace korvanth
