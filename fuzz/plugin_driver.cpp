// A TarvexPlugin driven through a random sequence of its five operations by a
// fake host whose every answer is taken from the fuzz input.
//
// Input layout: motion log length (2 bytes) and content, written to
// "<scratch>/p_3DMC.log"; the seed of the intensities (4 bytes); then, until
// the input ends (or 64 operations), one operation byte followed by whatever
// the host callbacks of that operation consume: dimensions (special values
// 0, negative, 2^31 - 1, products past the signed 32-bit range, or small ones),
// texts that fill their whole 512- or 601-byte buffer with or without a
// terminator (or name the scratch folder, so that the motion log is read),
// null time courses and null map blocks at a chosen call of the operation;
// a few volumes of the time course are null as well.
//
// The fake host allocates what it hands out exactly: a pointer array of as
// many volumes as the run has so far (at least stepCount + 1, grown on
// demand), volumes of exactly voxelCount intensities, and one block of exactly
// 8 * voxelCount map entries, each on the heap, so that the sanitizer reports
// any access outside them. Dimensions whose product is above 4096 voxels (or
// not positive) get no memory: the host answers null for the time course and
// the maps while still reporting those dimensions.
//
// Invariants besides the sanitizers': no exception other than std::bad_alloc
// leaves an operation; initPlugin (no host in this process) refuses and leaves
// the host table as it was; executePreRun and executePostRun return true;
// stepCount is 0 after executePreRun and after a successful first
// executePreStep (which sizes one model per voxel of the host's volume), moves
// by exactly one on a successful executePostStep and does not move when an
// operation returns false.
#include "plugin_driver.h"

#include "fuzz_support.h"
#include "plugin/host_binding/host_function_table.h"
#include "plugin/tarvex_plugin.h"

#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace tarvex::fuzz {

namespace {
constexpr int64_t largestHostVoxelCount = 4096;
constexpr int maxOperations = 64;
constexpr int mapCount = 8;

struct FakeHost {
    FuzzInput* in = nullptr;
    const TarvexPlugin* plugin = nullptr;
    uint32_t seed = 0;
    std::string motionFolder;  // "<scratch>/"

    // The run's data, sized by the last dimensions the host reported.
    int64_t voxelCount = 0;  // 0: no memory for the reported dimensions
    std::vector<std::unique_ptr<int16_t[]>> volumes;
    std::unique_ptr<int16_t*[]> timeCourse;  // exactly volumes.size() entries
    std::unique_ptr<float[]> maps;           // exactly 8 * voxelCount entries
    int32_t registeredMaps = 0;

    // Null answers planned for the current operation: the call with this
    // number (0 = first of the operation) answers null; -1: none.
    int64_t nullTimeCourseAt = -1;
    int64_t nullMapsAt = -1;
    int64_t timeCourseCalls = 0;
    int64_t mapsCalls = 0;

    void planOperation() {
        const uint8_t plan = in->byte();
        timeCourseCalls = mapsCalls = 0;
        nullTimeCourseAt = plan % 8 == 1 ? in->u16() : -1;
        nullMapsAt = plan % 8 == 2 ? in->u16() : -1;
    }

    uint32_t nextRandom() {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    }

    void resize(int32_t x, int32_t y, int32_t z) {
        volumes.clear();
        timeCourse.reset();
        maps.reset();
        voxelCount = 0;
        if (x <= 0 || y <= 0 || z <= 0) return;
        const int64_t slice = static_cast<int64_t>(x) * y;
        if (slice > largestHostVoxelCount || slice * z > largestHostVoxelCount) return;
        voxelCount = slice * z;
        if (voxelCount == 0) return;
        const auto entries = static_cast<std::size_t>(mapCount * voxelCount);
        maps.reset(new float[entries]);
        for (std::size_t i = 0; i < entries; ++i) maps[i] = static_cast<float>(nextRandom() % 7) - 3.0f;
    }

    // Time points 0 .. count - 1; a few volumes are null.
    void growTo(std::size_t count) {
        if (voxelCount == 0 || volumes.size() >= count) return;
        const auto length = static_cast<std::size_t>(voxelCount);
        while (volumes.size() < count) {
            std::unique_ptr<int16_t[]> volume;
            if (nextRandom() % 64 != 0) {
                volume.reset(new int16_t[length]);
                const uint32_t style = nextRandom() % 4;
                for (std::size_t v = 0; v < length; ++v) {
                    const uint32_t r = nextRandom();
                    switch (style) {
                        case 0:
                            volume[v] = static_cast<int16_t>(r);
                            break;  // anything
                        case 1:
                            volume[v] = static_cast<int16_t>(99 + r % 4);
                            break;  // around the mask
                        case 2:
                            volume[v] = static_cast<int16_t>(r % 2 ? 32767 : -32768);
                            break;
                        default:
                            volume[v] = static_cast<int16_t>(500 + r % 64);
                            break;  // a head
                    }
                }
            }
            volumes.push_back(std::move(volume));
        }
        timeCourse.reset(new int16_t*[volumes.size()]);
        for (std::size_t t = 0; t < volumes.size(); ++t) timeCourse[t] = volumes[t].get();
    }

    int32_t dimension() {
        const uint8_t choice = in->byte();
        switch (choice % 16) {
            case 0:
                return 0;
            case 1:
                return -1;
            case 2:
                return std::numeric_limits<int32_t>::max();
            case 3:
                return std::numeric_limits<int32_t>::min();
            case 4: {
                constexpr int32_t large[] = {2048, 4096, 46341, 65536, 1 << 14, 1 << 28, 1 << 30};
                return large[in->byte() % (sizeof large / sizeof large[0])];
            }
            case 5:
                return in->i32();
            default:
                return 1 + in->byte() % 8;
        }
    }

    // Fills the whole buffer: text with or without terminator, or leaves it.
    void answerText(char* buffer, std::size_t size, bool mayNameMotionFolder, const char* projectText) {
        const uint8_t choice = in->byte() % 8;
        if (choice == 0) return;  // the host writes nothing
        if (choice <= 3 && mayNameMotionFolder) {
            const std::string text = projectText != nullptr ? std::string(projectText) : motionFolder;
            std::memcpy(buffer, text.c_str(), text.size() + 1);
            return;
        }
        // A short piece of the input, repeated over the whole buffer.
        std::string piece = in->bytes(1 + in->byte() % 16);
        if (piece.empty()) piece = "A";
        for (std::size_t i = 0; i < size; ++i) {
            const char c = piece[i % piece.size()];
            buffer[i] = c == '\0' ? '#' : c;
        }
        if (choice >= 6) buffer[in->u16() % size] = '\0';  // a terminator somewhere
    }
};

FakeHost* fake = nullptr;

extern "C" {
void fakeGetVersion(int32_t* major, int32_t* minor, int32_t* subMinor) {
    *major = fake->in->i32();
    *minor = fake->in->i32();
    *subMinor = fake->in->i32();
}
void fakeGetKRVPath(char* path512) { fake->answerText(path512, 512, false, nullptr); }
void fakeGetPluginsPath(char* path512) { fake->answerText(path512, 512, false, nullptr); }
void fakeLogText(const char* line) { (void)std::strlen(line); }
void fakeGetDims(int32_t* x, int32_t* y, int32_t* z) {
    *x = fake->dimension();
    *y = fake->dimension();
    *z = fake->dimension();
    fake->resize(*x, *y, *z);
}
void fakeGetProjectName(char* name601) { fake->answerText(name601, 601, true, "p"); }
void fakeGetTargetFolder(char* folder601) { fake->answerText(folder601, 601, true, nullptr); }
int16_t** fakeGetTimeCourseData() {
    if (fake->voxelCount == 0 || fake->timeCourseCalls++ == fake->nullTimeCourseAt) return nullptr;
    // The contract: every time point up to the plug-in's own counter exists.
    const int32_t step = fake->plugin->stepCount;
    TARVEX_FUZZ_CHECK(step >= 0);
    fake->growTo(static_cast<std::size_t>(step) + 1);
    return fake->timeCourse.get();
}
void fakeRegisterMaps(int32_t count) {
    TARVEX_FUZZ_CHECK(count == mapCount);
    fake->registeredMaps = count;
}
void fakeSetPluginMapName(int32_t index, const char* name) {
    TARVEX_FUZZ_CHECK(index >= 0 && index < fake->registeredMaps);
    (void)std::strlen(name);
}
void fakeSetDisplayStatusOfMap(int32_t index, int32_t status) {
    TARVEX_FUZZ_CHECK(index >= 0 && index < mapCount);
    TARVEX_FUZZ_CHECK(status == 0 || status == 1);
}
void fakeUpdateMapList() {}
void fakeShowPluginMaps(bool) {}
float* fakeGetPluginMaps() {
    if (fake->mapsCalls++ == fake->nullMapsAt) return nullptr;
    return fake->maps.get();
}
}  // extern "C"

HostFunctionTable fakeTable() {
    HostFunctionTable t{};
    t.tGetVersionOfKRV = fakeGetVersion;
    t.tGetKRVPath = fakeGetKRVPath;
    t.tGetPluginsPath = fakeGetPluginsPath;
    t.tLogText = fakeLogText;
    t.tGetDimsOfFunctionalData = fakeGetDims;
    t.tGetProjectName = fakeGetProjectName;
    t.tGetTargetFolder = fakeGetTargetFolder;
    t.tGetTimeCourseData = fakeGetTimeCourseData;
    t.tRegisterMaps = fakeRegisterMaps;
    t.tSetPluginMapName = fakeSetPluginMapName;
    t.tSetDisplayStatusOfMap = fakeSetDisplayStatusOfMap;
    t.tUpdateMapList = fakeUpdateMapList;
    t.tShowPluginMaps = fakeShowPluginMaps;
    t.tGetPluginMaps = fakeGetPluginMaps;
    return t;
}

bool sameTable(const HostFunctionTable& a, const HostFunctionTable& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Runs one operation; an exception other than running out of memory is a finding.
template <typename Operation>
bool run(Operation operation, const char* name, bool& outOfMemory) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
        return false;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s threw: %s\n", name, error.what());
        std::abort();
    } catch (...) {
        std::fprintf(stderr, "%s threw a non-standard exception\n", name);
        std::abort();
    }
}
}  // namespace

void runPluginInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    FakeHost host;
    host.in = &in;
    host.motionFolder = scratchFolder() + "/";
    TARVEX_FUZZ_CHECK(writeFile(host.motionFolder + "p_3DMC.log", in.bytes(in.u16() % 4096)));
    host.seed = in.u32() | 1u;

    const HostFunctionTable table = fakeTable();
    hostFunctions() = table;
    auto plugin = std::make_unique<TarvexPlugin>();
    host.plugin = plugin.get();
    fake = &host;

    for (int operation = 0; operation < maxOperations && in.remaining() > 0; ++operation) {
        const int32_t stepBefore = plugin->stepCount;
        const bool firstStep = plugin->firstStepPending;
        bool outOfMemory = false;
        const uint8_t choice = in.byte();
        host.planOperation();
        switch (choice % 8) {
            case 0: {
                const bool accepted = run([&] { return plugin->initPlugin(); }, "initPlugin", outOfMemory);
                TARVEX_FUZZ_CHECK(!accepted);
                TARVEX_FUZZ_CHECK(sameTable(hostFunctions(), table));
                break;
            }
            case 1: {
                const bool done = run([&] { return plugin->executePreRun(); }, "executePreRun", outOfMemory);
                TARVEX_FUZZ_CHECK(done);
                TARVEX_FUZZ_CHECK(plugin->stepCount == 0 && plugin->firstStepPending);
                break;
            }
            case 2:
            case 3: {
                const bool done = run([&] { return plugin->executePreStep(); }, "executePreStep", outOfMemory);
                if (outOfMemory) break;
                if (!done) {
                    TARVEX_FUZZ_CHECK(plugin->stepCount == stepBefore);
                    TARVEX_FUZZ_CHECK(plugin->firstStepPending);
                } else if (firstStep) {
                    TARVEX_FUZZ_CHECK(plugin->stepCount == 0 && !plugin->firstStepPending);
                    TARVEX_FUZZ_CHECK(plugin->voxelCount == host.voxelCount);
                    TARVEX_FUZZ_CHECK(plugin->voxelModels.size() == static_cast<std::size_t>(host.voxelCount));
                } else {
                    TARVEX_FUZZ_CHECK(plugin->stepCount == stepBefore);
                }
                break;
            }
            case 4:
            case 5:
            case 6: {
                const bool done = run([&] { return plugin->executePostStep(); }, "executePostStep", outOfMemory);
                if (outOfMemory) break;
                TARVEX_FUZZ_CHECK(plugin->stepCount == (done ? stepBefore + 1 : stepBefore));
                break;
            }
            default: {
                const bool done = run([&] { return plugin->executePostRun(); }, "executePostRun", outOfMemory);
                TARVEX_FUZZ_CHECK(done);
                TARVEX_FUZZ_CHECK(plugin->firstStepPending && plugin->stepCount == stepBefore);
                break;
            }
        }
        if (outOfMemory) TARVEX_FUZZ_CHECK(plugin->stepCount == stepBefore);
    }
    plugin.reset();
    fake = nullptr;
    hostFunctions() = HostFunctionTable{};
}

}  // namespace tarvex::fuzz
