// The readers must refuse anything they cannot read with a message, never
// crash, and hand over only what they promised: volumes of the size the
// header gives, as many as it gives; motion rows the host's log can carry.
#include "input_file_drivers.h"

#include "fuzz_support.h"
#include "korvanth/run/motion_log_writer.h"
#include "korvanth/sources/motion/motion_file_source.h"
#include "korvanth/sources/nifti_series.h"

#include <zlib.h>

#include <vector>

namespace tarvex::fuzz {

namespace {
// Writes `bytes` gzipped, as a compressing tool would.
bool writeGzipped(const std::string& path, const std::string& bytes) {
    gzFile file = gzopen(path.c_str(), "wb1");
    if (file == nullptr) return false;
    const bool written = bytes.empty() || gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())) > 0;
    return gzclose(file) == Z_OK && written;
}
}  // namespace

void runNiftiSeriesInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    const std::string file = input.bytes(input.remaining());
    const bool gzip = (mode & 1) != 0;
    const std::string path = scratchFolder() + (gzip || (mode & 2) != 0 ? "/series.nii.gz" : "/series.nii");
    if (!(gzip ? writeGzipped(path, file) : writeFile(path, file))) return;

    korvanth::NiftiSeriesSource source(path);
    korvanth::SeriesInfo series;
    std::string error;
    if (!source.open(series, error)) {
        TARVEX_FUZZ_CHECK(!error.empty() && error.rfind(path, 0) == 0);
        return;
    }
    TARVEX_FUZZ_CHECK(series.dims[0] >= 1 && series.dims[1] >= 1 && series.dims[2] >= 1);
    TARVEX_FUZZ_CHECK(series.voxelCount() <= INT32_MAX && series.expectedVolumes >= 2);
    TARVEX_FUZZ_CHECK(series.repetitionTimeSeconds > 0.0);
    // The data was all there when the source opened: every promised volume comes.
    std::vector<int16_t> volume;
    int32_t volumes = 0;
    korvanth::VolumeSource::Next next;
    while ((next = source.next(volume, error)) == korvanth::VolumeSource::Next::Volume) {
        TARVEX_FUZZ_CHECK(static_cast<int64_t>(volume.size()) == series.voxelCount());
        ++volumes;
    }
    TARVEX_FUZZ_CHECK(next == korvanth::VolumeSource::Next::EndOfRun);
    TARVEX_FUZZ_CHECK(volumes == series.expectedVolumes);
}

void runMotionFileInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    static const korvanth::MotionFormat formats[] = {korvanth::MotionFormat::Fsl, korvanth::MotionFormat::Spm,
                                                     korvanth::MotionFormat::Fmriprep, korvanth::MotionFormat::Plain};
    const korvanth::MotionFormat format = formats[input.byte() % 4];
    const std::string text = input.bytes(input.remaining());
    std::vector<korvanth::MotionEstimate> motion;
    std::string error;
    if (!korvanth::parseMotionText(text, format, "motion.txt", motion, error)) {
        TARVEX_FUZZ_CHECK(motion.empty() && error.rfind("motion.txt", 0) == 0);
        return;
    }
    TARVEX_FUZZ_CHECK(error.empty());
    for (const korvanth::MotionEstimate& row : motion)
        for (double value : row) TARVEX_FUZZ_CHECK(korvanth::motionLogCarries(value));
}

}  // namespace tarvex::fuzz
