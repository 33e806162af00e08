#include "korvanth/platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>
#include <share.h>

namespace korvanth {

namespace {
std::string lastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text != nullptr ? text : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}
}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) {
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (handle_ == nullptr) error_ = lastErrorText();
}

PluginLibrary::~PluginLibrary() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* PluginLibrary::function(const char* name) const {
    return handle_ != nullptr ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

std::string pluginFileName(const std::string& baseName) { return baseName + ".dll"; }

std::string executableFolder() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    const std::size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? ".\\" : folder.substr(0, slash + 1);
}

char pathSeparator() { return '\\'; }

std::FILE* createSharedLogFile(const std::string& path) { return _fsopen(path.c_str(), "w", _SH_DENYNO); }

bool standardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// Older consoles print escape sequences as text: the log is shown plain.
bool standardOutputShowsStyles() { return false; }

long currentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool processIsRunning(long processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

uint64_t availableMemoryBytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) != 0 ? static_cast<uint64_t>(status.ullAvailPhys) : 0;
}

namespace {
void (*stopCallback)() = nullptr;
volatile LONG stopEvents = 0;
volatile LONG deferredDepth = 0;

BOOL WINAPI onConsoleEvent(DWORD) {
    if (InterlockedIncrement(&stopEvents) > 1) {
        // A commit in progress is let finish first.
        while (deferredDepth > 0) Sleep(10);
        ExitProcess(130);
    }
    if (stopCallback != nullptr) stopCallback();
    return TRUE;
}
}  // namespace

void installStopHandlers(void (*onStop)()) {
    stopCallback = onStop;
    SetConsoleCtrlHandler(&onConsoleEvent, TRUE);
}

void rearmStopHandlers() { InterlockedExchange(&stopEvents, 0); }

DeferredStopSignals::DeferredStopSignals() : saved_{} { InterlockedIncrement(&deferredDepth); }
DeferredStopSignals::~DeferredStopSignals() { InterlockedDecrement(&deferredDepth); }

void dropStandardStream(std::FILE* stream) {
    std::fflush(stream);
    if (std::freopen("NUL", "w", stream) == nullptr) std::clearerr(stream);
}

// Windows reports no file closed after writing: every folder is polled.
bool isNetworkFolder(const std::string&) { return false; }

FolderEvents::FolderEvents(const std::string&) : error_("no file events on Windows") {}
FolderEvents::~FolderEvents() = default;
bool FolderEvents::wait(double, std::vector<FileReport>&) { return false; }

}  // namespace korvanth
