#include "korvanth/platform/platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
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

void* PluginLibrary::function(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

std::string pluginFileName(const std::string& baseName) { return "lib" + baseName + ".so"; }

std::string executableFolder() {
    char path[PATH_MAX + 1] = {};
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) return "./";
    const std::string full(path, static_cast<std::size_t>(length));
    return full.substr(0, full.find_last_of('/') + 1);
}

char pathSeparator() { return '/'; }

std::FILE* createSharedLogFile(const std::string& path) { return std::fopen(path.c_str(), "w"); }

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool standardOutputShowsStyles() {
    const char* terminal = std::getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && terminal != nullptr && std::string(terminal) != "dumb";
}

long currentProcessId() { return static_cast<long>(getpid()); }

bool processIsRunning(long processId) {
    return processId > 0 && (kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM);
}

uint64_t availableMemoryBytes() {
    // MemAvailable counts what can be had without swapping, caches included.
    std::FILE* info = std::fopen("/proc/meminfo", "r");
    if (info == nullptr) return 0;
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, info) != nullptr)
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) break;
    std::fclose(info);
    return static_cast<uint64_t>(kib) * 1024u;
}

namespace {
void (*stopCallback)() = nullptr;
volatile std::sig_atomic_t stopSignals = 0;

void onStopSignal(int) {
    if (stopSignals++ > 0) _exit(130);
    if (stopCallback != nullptr) stopCallback();
}
}  // namespace

void installStopHandlers(void (*onStop)()) {
    stopCallback = onStop;
    struct sigaction action {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void rearmStopHandlers() { stopSignals = 0; }

static_assert(sizeof(sigset_t) <= 128, "the saved mask fits DeferredStopSignals");

DeferredStopSignals::DeferredStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, reinterpret_cast<sigset_t*>(saved_));
}

DeferredStopSignals::~DeferredStopSignals() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

}  // namespace korvanth
