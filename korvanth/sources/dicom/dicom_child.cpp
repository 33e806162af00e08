// readDicomFile: the parse in a child process, its result carried back
// through a pipe in a plain binary form (this process's own layout: both
// ends are the same program).
#include "korvanth/run/clock.h"
#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/input_file.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

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
    s.put_or_get(f.studyUid);
    s.put_or_get(f.seriesUid);
    s.put_or_get(f.seriesDescription);
    s.put_or_get(f.protocolName);
    s.put_or_get(f.otherKind);
    s.put_or_get(f.companionKind);
    s.put_or_get(f.echoNumber);
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
        w.put(file.seriesUid);
        return w.bytes;
    }
    fields(w, file);
    w.put(static_cast<uint64_t>(file.slices.size()));
    for (const DicomSlice& slice : file.slices) {
        w.put(slice.position);
        w.put(slice.temporalPosition);
        w.put(slice.acquisitionSeconds);
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
        r.get(file.seriesUid);
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
        r.get(slice.acquisitionSeconds);
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
// The child: bounded memory and no core file; reads the files in turn and
// sends each result through `out` as its length and bytes.
[[noreturn]] void childReads(const std::vector<std::string>& paths, int out) {
    // The library's aborts end the child as aborts, whatever handlers the
    // host set; no core file, and no assertion text on the host's terminal.
    for (const int crash : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) signal(crash, SIG_DFL);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
#if !defined(KORVANTH_SANITIZED)  // a sanitizer's report, though, is to be seen
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, 2);
    // Room for the largest file's decoded pixels many times over, beyond what
    // this process already maps; a length field that asks for more fails here.
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0, largest = 0;
    if (statm >> pages) {
        for (const std::string& path : paths) {
            std::ifstream file(path, std::ios::binary | std::ios::ate);
            largest = std::max(largest, static_cast<unsigned long long>(std::max<std::streamoff>(0, file.tellg())));
        }
        const unsigned long long limit =
            pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) + (256ull << 20) + 16ull * largest;
        const rlimit memory{limit, limit};
        setrlimit(RLIMIT_AS, &memory);
    }
#endif
    for (const std::string& path : paths) {
        DicomFile file;
        std::string error;
        const bool ok = parseDicomFile(path, file, error);
        std::string message = serialise(ok, file, error);
        const auto length = static_cast<uint64_t>(message.size());
        message.insert(0, reinterpret_cast<const char*>(&length), sizeof length);
        for (std::size_t sent = 0; sent < message.size();) {
            const ssize_t n = ::write(out, message.data() + sent, message.size() - sent);
            if (n <= 0) _exit(3);
            sent += static_cast<std::size_t>(n);
        }
    }
    _exit(0);
}

// Reads everything the child sends until it closes the pipe or `seconds` pass.
bool collect(int in, std::string& bytes, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + steadyDuration(seconds);
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

// Reads `paths` from `first` on in one child; returns how many results came
// whole (into `results`), and for the file it stopped at, if any, why.
std::size_t readInOneChild(const std::vector<std::string>& paths, std::size_t first, std::vector<DicomRead>& results) {
    const std::string& culprit = paths[first];
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        results[first].error = culprit + ": cannot open a pipe to read it apart (" + std::strerror(errno) + ")";
        return 0;
    }
    const pid_t child = fork();
    if (child < 0) {
        ::close(channel[0]);
        ::close(channel[1]);
        results[first].error = culprit + ": cannot start a process to read it (" + std::strerror(errno) + ")";
        return 0;
    }
    if (child == 0) {
        ::close(channel[0]);
        childReads(std::vector<std::string>(paths.begin() + static_cast<std::ptrdiff_t>(first), paths.end()),
                   channel[1]);
    }
    ::close(channel[1]);
    std::string bytes;
    const bool ended = collect(channel[0], bytes, 30.0 + 1.0 * static_cast<double>(paths.size() - first));
    ::close(channel[0]);
    if (!ended) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    std::size_t done = 0;
    for (std::size_t at = 0; first + done < paths.size() && bytes.size() - at >= sizeof(uint64_t); ++done) {
        uint64_t length = 0;
        std::memcpy(&length, bytes.data() + at, sizeof length);
        if (bytes.size() - at - sizeof length < length) break;
        DicomRead& r = results[first + done];
        r.file.path = paths[first + done];
        try {
            r.ok = deserialise(bytes.substr(at + sizeof length, length), r.file, r.error);
        } catch (const std::bad_alloc&) {
            r.ok = false;
            r.error = memoryRefused(paths[first + done]);
        }
        at += sizeof length + length;
    }
    if (first + done == paths.size()) return done;
    const std::string& stopped = paths[first + done];
    results[first + done].error =
        !ended ? stopped + ": reading it did not end in time"
        : WIFSIGNALED(status)
            ? stopped + ": the DICOM library aborted reading it (signal " + std::to_string(WTERMSIG(status)) +
                  "; a malformed header or a file cut short)"
            : stopped + ": the process reading it failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    return done;
}
#endif

}  // namespace

void readDicomFiles(const std::vector<std::string>& paths, std::vector<DicomRead>& results) {
    results.assign(paths.size(), DicomRead{});
#if defined(_WIN32)
    for (std::size_t i = 0; i < paths.size(); ++i)
        results[i].ok = parseDicomFile(paths[i], results[i].file, results[i].error);
#else
    // After a file that ended its child, the rest are read in a new one.
    for (std::size_t first = 0; first < paths.size();) first += readInOneChild(paths, first, results) + 1;
#endif
}

bool readDicomFile(const std::string& path, DicomFile& file, std::string& error) {
    std::vector<DicomRead> results;
    readDicomFiles({path}, results);
    file = std::move(results.front().file);
    error = std::move(results.front().error);
    return results.front().ok;
}

}  // namespace korvanth
