// An in-process stand-in for the host, for the benchmarks: it answers the
// plug-in's host calls from memory that the benchmark owns, and writes a motion
// log into a temporary folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex_bench {

// Realistic input of one run: about 40 % of the voxels are above the mask
// threshold in volume 0; later volumes vary around it with noise and a slow
// drift. A few distinct volumes are reused through the time-course pointer
// array, so that any step up to maxTimePoints - 1 has its volume.
class FakeRun {
public:
    static constexpr int maxTimePoints = 4096;
    static constexpr int distinctVolumes = 5;

    FakeRun(int32_t dimX, int32_t dimY, int32_t dimZ);
    ~FakeRun();
    FakeRun(const FakeRun&) = delete;
    FakeRun& operator=(const FakeRun&) = delete;

    // Points the process's host function table at this run.
    void install();

    int32_t dimX, dimY, dimZ;
    int32_t voxelCount;
    int32_t maskedCount = 0;
    std::vector<std::vector<int16_t>> volumes;
    std::vector<int16_t*> timeCourse;
    std::vector<float> maps;
    std::string folder;  // temporary folder with a trailing '/'
    std::string projectName;
    int64_t logLines = 0;  // tLogText calls seen
};

// The run whose memory the host functions currently answer with.
FakeRun& currentRun();

// Heap bytes in use (glibc's allocator statistics).
int64_t heapBytesInUse();
// Current and peak resident set size of the process, in bytes.
int64_t residentBytes();
int64_t peakResidentBytes();

}  // namespace tarvex_bench
