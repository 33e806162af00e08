#include "fake_host.h"

#include "plugin/host_binding/host_function_table.h"
#include "tarvex/qc_conventions.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tarvex_bench {

namespace {

FakeRun* installed = nullptr;

// A small deterministic generator, so every benchmark run sees the same input.
struct Lcg {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    double uniform() { return next() / 2147483648.0; }  // [0, 1)
};

extern "C" {
void fakeGetVersion(int32_t* major, int32_t* minor, int32_t* subMinor) {
    *major = 3;
    *minor = 0;
    *subMinor = 0;
}
void fakeGetPath(char* path512) { std::strcpy(path512, "/fake/host/"); }
void fakeLogText(const char*) { ++installed->logLines; }
void fakeGetDims(int32_t* dimX, int32_t* dimY, int32_t* dimZ) {
    *dimX = installed->dimX;
    *dimY = installed->dimY;
    *dimZ = installed->dimZ;
}
void fakeGetProjectName(char* name601) { std::strcpy(name601, installed->projectName.c_str()); }
void fakeGetTargetFolder(char* folder601) { std::strcpy(folder601, installed->folder.c_str()); }
int16_t** fakeGetTimeCourseData() { return installed->timeCourse.data(); }
void fakeRegisterMaps(int32_t) {}
void fakeSetPluginMapName(int32_t, const char*) {}
void fakeSetDisplayStatusOfMap(int32_t, int32_t) {}
void fakeShowPluginMaps(bool) {}
void fakeUpdateMapList() {}
float* fakeGetPluginMaps() { return installed->maps.data(); }
}

int64_t statusField(const char* key) {
    std::FILE* file = std::fopen("/proc/self/status", "r");
    if (file == nullptr) return -1;
    char line[256];
    int64_t kib = -1;
    const std::size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key, keyLength) == 0) {
            kib = std::strtoll(line + keyLength, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return kib < 0 ? -1 : kib * 1024;
}

}  // namespace

FakeRun::FakeRun(int32_t x, int32_t y, int32_t z)
    : dimX(x), dimY(y), dimZ(z), voxelCount(x * y * z), projectName("benchrun") {
    const auto count = static_cast<std::size_t>(voxelCount);
    Lcg random{0x5eed1234ULL + static_cast<uint64_t>(voxelCount)};

    // Volume 0: about 40 % tissue (200 to 1400), the rest background (0 to 90).
    std::vector<double> base(count);
    volumes.assign(distinctVolumes, std::vector<int16_t>(count));
    for (std::size_t v = 0; v < count; ++v) {
        const bool tissue = random.uniform() < 0.4;
        base[v] = tissue ? 200.0 + 1200.0 * random.uniform() : 90.0 * random.uniform();
        volumes[0][v] = static_cast<int16_t>(base[v]);
        if (volumes[0][v] > tarvex::maskThreshold) ++maskedCount;
    }
    // Later volumes: the same anatomy with about 2 % noise and a small drift.
    for (int t = 1; t < distinctVolumes; ++t)
        for (std::size_t v = 0; v < count; ++v) {
            const double noise = (random.uniform() - 0.5) * 0.04 * base[v];
            volumes[t][v] = static_cast<int16_t>(base[v] * (1.0 + 0.003 * t) + noise);
        }
    timeCourse.resize(maxTimePoints);
    timeCourse[0] = volumes[0].data();
    for (int t = 1; t < maxTimePoints; ++t) timeCourse[t] = volumes[1 + (t - 1) % (distinctVolumes - 1)].data();

    // The host's map block; map 7 starts with content of the host's own.
    maps.assign(count * tarvex::pluginMapCount, 0.0f);
    for (std::size_t v = 0; v < count; ++v) maps[7 * count + v] = 0.25f;

    char pattern[] = "/tmp/tarvex-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    folder = std::string(pattern) + "/";

    // The motion log: three header lines and one line per volume, as the
    // host's motion correction writes it.
    std::ofstream log(folder + projectName + tarvex::motionLogSuffix);
    log << "Motion correction log\nProject: " << projectName << "\nPer volume: dx dy dz (mm), rx ry rz (degrees)\n";
    Lcg motion{42};
    double drift[6] = {};
    char value[32];
    for (int volume = 0; volume < maxTimePoints + 8; ++volume) {
        log << "Volume " << volume + 1 << ":";
        for (int i = 0; i < tarvex::motionParameterCount; ++i) {
            drift[i] += (motion.uniform() - 0.5) * 0.02;
            std::snprintf(value, sizeof value, "%.5f", drift[i]);
            log << ' ' << tarvex::motionKeys[i] << std::string(value).substr(0, tarvex::motionValueWindow);
        }
        log << '\n';
    }
}

FakeRun::~FakeRun() {
    std::remove((folder + projectName + tarvex::motionLogSuffix).c_str());
    rmdir(folder.c_str());
    if (installed == this) installed = nullptr;
}

void FakeRun::install() {
    installed = this;
    tarvex::HostFunctionTable& host = tarvex::hostFunctions();
    host.tGetVersionOfKRV = fakeGetVersion;
    host.tGetKRVPath = fakeGetPath;
    host.tGetPluginsPath = fakeGetPath;
    host.tLogText = fakeLogText;
    host.tGetDimsOfFunctionalData = fakeGetDims;
    host.tGetProjectName = fakeGetProjectName;
    host.tGetTargetFolder = fakeGetTargetFolder;
    host.tGetTimeCourseData = fakeGetTimeCourseData;
    host.tRegisterMaps = fakeRegisterMaps;
    host.tSetPluginMapName = fakeSetPluginMapName;
    host.tSetDisplayStatusOfMap = fakeSetDisplayStatusOfMap;
    host.tShowPluginMaps = fakeShowPluginMaps;
    host.tUpdateMapList = fakeUpdateMapList;
    host.tGetPluginMaps = fakeGetPluginMaps;
}

FakeRun& currentRun() { return *installed; }

int64_t heapBytesInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

int64_t residentBytes() { return statusField("VmRSS:"); }

int64_t peakResidentBytes() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<int64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace tarvex_bench
