#include "korvanth/sources/nifti_volume_reader.h"

#include "korvanth/sources/nifti_series.h"

#include <cstdio>

namespace korvanth {

bool NiftiVolumeReader::recognises(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    unsigned char head[4] = {};
    const bool read = f != nullptr && std::fread(head, 1, 4, f) == 4;
    if (f != nullptr) std::fclose(f);
    if (!read) return false;
    if (head[0] == 0x1f && head[1] == 0x8b) return true;
    const uint32_t little = head[0] | head[1] << 8 | head[2] << 16 | static_cast<uint32_t>(head[3]) << 24;
    const uint32_t big = head[3] | head[2] << 8 | head[1] << 16 | static_cast<uint32_t>(head[0]) << 24;
    for (const uint32_t size : {little, big})
        if (size == 348 || size == 540) return true;
    return false;
}

bool NiftiVolumeReader::read(const std::string& path, VolumeFile& file, std::string& error) {
    NiftiVolume volume;
    if (!readNiftiVolume(path, volume, error)) return false;
    file.info = std::move(volume.info);
    file.voxels = std::move(volume.voxels);
    file.repetitionTimeRecorded = volume.repetitionTimeRecorded;
    file.clamped = volume.clamped;
    file.storedType = std::move(volume.storedType);
    return true;
}

bool NiftiVolumeReader::take(const std::string& path, VolumeFile&& file, std::vector<VolumeFile>& volumes,
                             std::string& why) {
    (void)path;
    (void)why;
    volumes.push_back(std::move(file));
    return true;
}

}  // namespace korvanth
