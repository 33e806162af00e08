// A folder's NIfTI files, a volume each (readNiftiVolume), as a real-time
// export converted to NIfTI writes them.
#pragma once

#include "korvanth/sources/volume_file_reader.h"

namespace korvanth {

class NiftiVolumeReader final : public VolumeFileReader {
public:
    // By the header's size field (348 or 540, either byte order), or a gzip
    // stream, which the reading then judges.
    bool recognises(const std::string& path) const override;
    bool read(const std::string& path, VolumeFile& file, std::string& error) override;
    bool take(const std::string& path, VolumeFile&& file, std::vector<VolumeFile>& volumes, std::string& why) override;
};

}  // namespace korvanth
