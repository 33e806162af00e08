// readDicomFile: the parse in a child process, its result carried back
// through a pipe in a plain binary form (this process's own layout: both
// ends are the same program).
#include "korvanth/sources/dicom_file.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KORVANTH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANTH_SANITIZED 1
#endif
#endif

namespace korvanth {

namespace {

struct Writer {
    std::string bytes;
    template <typename T>
    void put(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void put(const std::string& s) {
        put(static_cast<uint64_t>(s.size()));
        bytes += s;
    }
};

struct Reader {
    const std::string& bytes;
    std::size_t at = 0;
    bool ok = true;
    template <typename T>
    void get(T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!ok || bytes.size() - at < sizeof value) {
            ok = false;
            return;
        }
        std::memcpy(&value, bytes.data() + at, sizeof value);
        at += sizeof value;
    }
    void get(std::string& s) {
        uint64_t size = 0;
        get(size);
        if (!ok || bytes.size() - at < size) {
            ok = false;
            return;
        }
        s.assign(bytes, at, size);
        at += size;
    }
};

// Every field of `f` in one order, for writing and reading alike.
template <typename Stream, typename File>
void fields(Stream& s, File& f) {
    s.put_or_get(f.seriesUid);
    s.put_or_get(f.seriesDescription);
    s.put_or_get(f.protocolName);
    s.put_or_get(f.seriesNumber);
    s.put_or_get(f.instanceNumber);
    s.put_or_get(f.acquisitionNumber);
    s.put_or_get(f.columns);
    s.put_or_get(f.rows);
    s.put_or_get(f.rowDirection);
    s.put_or_get(f.columnDirection);
    s.put_or_get(f.columnSpacing);
    s.put_or_get(f.rowSpacing);
    s.put_or_get(f.sliceSpacing);
    s.put_or_get(f.sliceDirection);
    s.put_or_get(f.slicesPerVolume);
    s.put_or_get(f.wholeVolumes);
    s.put_or_get(f.repetitionTimeMs);
    s.put_or_get(f.slope);
    s.put_or_get(f.intercept);
    s.put_or_get(f.changedValues);
}

struct Put : Writer {
    template <typename T>
    void put_or_get(const T& v) {
        put(v);
    }
};
struct Get : Reader {
    template <typename T>
    void put_or_get(T& v) {
        get(v);
    }
};

std::string serialise(bool ok, const DicomFile& file, const std::string& error) {
    Put w;
    w.put(static_cast<uint8_t>(ok ? 1 : 0));
    if (!ok) {
        w.put(error);
        w.put(file.notAnImage);
        return w.bytes;
    }
    fields(w, file);
    w.put(static_cast<uint64_t>(file.slices.size()));
    for (const DicomSlice& slice : file.slices) {
        w.put(slice.position);
        w.put(slice.temporalPosition);
        w.put(static_cast<uint64_t>(slice.pixels.size()));
        w.bytes.append(reinterpret_cast<const char*>(slice.pixels.data()), slice.pixels.size() * sizeof(int16_t));
    }
    return w.bytes;
}

bool deserialise(const std::string& bytes, DicomFile& file, std::string& error) {
    Get r{{bytes}};
    uint8_t ok = 0;
    r.get(ok);
    if (r.ok && ok == 0) {
        r.get(error);
        r.get(file.notAnImage);
        if (!r.ok) error = file.path + ": refused (its reason was lost)";
        return false;
    }
    fields(r, file);
    uint64_t count = 0;
    r.get(count);
    const uint64_t sliceVoxels = static_cast<uint64_t>(file.columns) * static_cast<uint64_t>(file.rows);
    for (uint64_t k = 0; r.ok && k < count; ++k) {
        DicomSlice slice;
        uint64_t size = 0;
        r.get(slice.position);
        r.get(slice.temporalPosition);
        r.get(size);
        if (!r.ok || size != sliceVoxels || (bytes.size() - r.at) / sizeof(int16_t) < size) {
            r.ok = false;
            break;
        }
        slice.pixels.resize(size);
        std::memcpy(slice.pixels.data(), bytes.data() + r.at, size * sizeof(int16_t));
        r.at += size * sizeof(int16_t);
        file.slices.push_back(std::move(slice));
    }
    if (!r.ok || r.at != bytes.size()) {
        error = file.path + ": the process reading it sent back a damaged result";
        return false;
    }
    return true;
}

#if !defined(_WIN32)
// The child: bounded memory and no core file; reports through `out`.
[[noreturn]] void childReads(const std::string& path, int out) {
    // The library's aborts end the child as aborts, whatever handlers the
    // host set; no core file, and no assertion text on the host's terminal.
    for (const int crash : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(crash, SIG_DFL);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
#if !defined(KORVANTH_SANITIZED)  // a sanitizer's report, though, is to be seen
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, 2);
#endif
#if !defined(KORVANTH_SANITIZED)
    // Room for the file's decoded pixels many times over, beyond what this
    // process already maps; a length field that asks for more fails here.
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    std::error_code ignored;
    if (statm >> pages) {
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        const auto size = static_cast<unsigned long long>(std::max<std::streamoff>(0, file.tellg()));
        const unsigned long long limit =
            pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) + (256ull << 20) + 16ull * size;
        const rlimit memory{limit, limit};
        setrlimit(RLIMIT_AS, &memory);
    }
#endif
    DicomFile file;
    std::string error;
    const bool ok = parseDicomFile(path, file, error);
    const std::string message = serialise(ok, file, error);
    for (std::size_t sent = 0; sent < message.size();) {
        const ssize_t n = ::write(out, message.data() + sent, message.size() - sent);
        if (n <= 0) _exit(3);
        sent += static_cast<std::size_t>(n);
    }
    _exit(0);
}

// Reads everything the child sends until it closes the pipe or `seconds` pass.
bool collect(int in, std::string& bytes, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buffer[1 << 16];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{in, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    }
}
#endif

}  // namespace

bool readDicomFile(const std::string& path, DicomFile& file, std::string& error) {
#if defined(_WIN32)
    return parseDicomFile(path, file, error);
#else
    file = DicomFile{};
    file.path = path;
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        error = path + ": cannot open a pipe to read it apart (" + std::strerror(errno) + ")";
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        ::close(channel[0]);
        ::close(channel[1]);
        error = path + ": cannot start a process to read it (" + std::strerror(errno) + ")";
        return false;
    }
    if (child == 0) {
        ::close(channel[0]);
        childReads(path, channel[1]);
    }
    ::close(channel[1]);
    std::string bytes;
    const bool ended = collect(channel[0], bytes, 60.0);
    ::close(channel[0]);
    if (!ended) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (!ended) {
        error = path + ": reading it did not end in 60 s";
        return false;
    }
    if (WIFSIGNALED(status)) {
        error = path + ": the DICOM library aborted reading it (signal " + std::to_string(WTERMSIG(status)) +
                "; a malformed header or a file cut short)";
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = path + ": the process reading it failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        return false;
    }
    return deserialise(bytes, file, error);
#endif
}

}  // namespace korvanth
