// What the host needs of the operating system. One implementation per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// This process's id, and whether a process of that id is alive (a staging
// folder named after a dead process is left over from a crash).
long currentProcessId();
bool processIsRunning(long processId);

// Physical memory that can be had without swapping, in bytes; 0 when unknown.
uint64_t availableMemoryBytes();

// Stop requests from the terminal or the system (Ctrl-C, SIGINT, SIGTERM;
// console close on Windows): the first calls `onStop` (which must be safe in
// a signal handler), a second one ends the process at once with exit code
// 130. Installed once, for the life of the process. A closed terminal
// (SIGHUP) is a first stop request, however often it comes, unless the
// process was started to ignore it (nohup). Writes to a closed pipe or
// terminal fail instead of ending the process (SIGPIPE ignored).
void installStopHandlers(void (*onStop)());

// Points `stream` (stdout or stderr) at the null device: a terminal that went
// away, or a pipe nobody reads any more, gets no more output, and the run
// spends no more time on it.
void dropStandardStream(std::FILE* stream);

// Whether `folder` is on a network filesystem (NFS, SMB/CIFS, and the like),
// where the system does not report writes made by other machines.
bool isNetworkFolder(const std::string& folder);

// One report on a file of a watched folder: closed after writing or moved in
// (complete), or written to (still being written). A name created without a
// write (a link) is not reported.
struct FileReport {
    std::string name;
    bool complete = false;
};

// What the system reports of one folder's files (Linux: inotify). Where
// there are no such reports, isOpen() is false and error() says why; the
// caller then polls.
class FolderEvents {
public:
    explicit FolderEvents(const std::string& folder);
    ~FolderEvents();
    FolderEvents(const FolderEvents&) = delete;
    FolderEvents& operator=(const FolderEvents&) = delete;

    bool isOpen() const { return handle_ >= 0; }
    const std::string& error() const { return error_; }
    // Waits at most `seconds` for reports and appends them in the order they
    // came. False when reports were lost (the queue overflowed): the caller
    // looks at the folder itself.
    bool wait(double seconds, std::vector<FileReport>& reports);

private:
    int handle_ = -1;
    std::string error_;
};
// Makes the next stop request count as a first one again (after a run that a
// first one ended, while the results are shown).
void rearmStopHandlers();

// Holds stop signals back while it exists (a commit of results is not cut
// in two by them); they are delivered when it ends.
class DeferredStopSignals {
public:
    DeferredStopSignals();
    ~DeferredStopSignals();
    DeferredStopSignals(const DeferredStopSignals&) = delete;
    DeferredStopSignals& operator=(const DeferredStopSignals&) = delete;

private:
    unsigned char saved_[128];  // the platform's saved signal mask
};

}  // namespace korvanth
