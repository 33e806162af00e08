#include "korvanth/platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

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

// A hangup comes once from the terminal and again from the shell that
// ends: never a second request, so a closed terminal never loses the run.
void onHangup(int) {
    if (stopSignals > 0) return;
    stopSignals = 1;
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
    struct sigaction hangup {};
    sigaction(SIGHUP, nullptr, &hangup);
    if (hangup.sa_handler != SIG_IGN) {  // nohup asked for the run to outlive the terminal
        action.sa_handler = &onHangup;
        sigaction(SIGHUP, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

void dropStandardStream(std::FILE* stream) {
    std::fflush(stream);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, fileno(stream));
    close(null);
    std::clearerr(stream);
}

bool isNetworkFolder(const std::string& folder) {
    struct statfs info {};
    if (statfs(folder.c_str(), &info) != 0) return false;
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0x6969UL:      // NFS
        case 0x517BUL:      // SMB
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x65735546UL:  // FUSE (sshfs and other user-space network filesystems)
        case 0x01021997UL:  // 9P (shares of virtual machines)
        case 0x00C36400UL:  // Ceph
        case 0x5346414FUL:  // AFS
        case 0x0BD00BD0UL:  // Lustre
            return true;
        default:
            return false;
    }
}

FolderEvents::FolderEvents(const std::string& folder) {
    handle_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (handle_ < 0) {
        error_ = std::string("no file events (") + std::strerror(errno) + ")";
        return;
    }
    // A name created without a write (a hard or symbolic link to a whole
    // file) is not reported: nothing will close it, and it is judged like a
    // file that was there before (its size and time stamp).
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_ONLYDIR;
    if (inotify_add_watch(handle_, folder.c_str(), mask) < 0) {
        error_ = folder + ": no file events (" + std::strerror(errno) + ")";
        close(handle_);
        handle_ = -1;
    }
}

FolderEvents::~FolderEvents() {
    if (handle_ >= 0) close(handle_);
}

bool FolderEvents::wait(double seconds, std::vector<FileReport>& reports) {
    if (handle_ < 0) return false;
    pollfd ready{handle_, POLLIN, 0};
    const int timeoutMs = seconds <= 0.0 ? 0 : static_cast<int>(seconds * 1000.0 + 0.5);
    if (poll(&ready, 1, timeoutMs) <= 0) return true;
    alignas(inotify_event) char buffer[16384];
    bool complete = true;
    for (;;) {
        const ssize_t length = read(handle_, buffer, sizeof buffer);
        if (length <= 0) break;
        for (ssize_t at = 0; at < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if ((event.mask & IN_Q_OVERFLOW) != 0) complete = false;
            if (event.len > 0)
                reports.push_back(
                    {std::string(buffer + at + sizeof event), (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0});
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    return complete;
}

void rearmStopHandlers() { stopSignals = 0; }

static_assert(sizeof(sigset_t) <= 128, "the saved mask fits DeferredStopSignals");

DeferredStopSignals::DeferredStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, reinterpret_cast<sigset_t*>(saved_));
}

DeferredStopSignals::~DeferredStopSignals() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

}  // namespace korvanth
