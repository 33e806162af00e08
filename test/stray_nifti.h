// A stray file a watched folder may receive: a gzipped NIfTI-1 header of a
// few dozen bytes that claims one float64 volume of 1290^3 voxels (17 GB),
// and no data. Shared by the watcher's and the session's tests.
#pragma once

#include <nifti2_io.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>

namespace korvanth_test {

inline void writeStrayNiftiHeader(const std::filesystem::path& path) {
    nifti_1_header header{};
    header.sizeof_hdr = 348;
    header.dim[0] = 3;
    header.dim[1] = header.dim[2] = header.dim[3] = 1290;
    header.datatype = NIFTI_TYPE_FLOAT64;
    header.bitpix = 64;
    header.pixdim[1] = header.pixdim[2] = header.pixdim[3] = 1.0f;
    header.vox_offset = 352.0f;
    std::memcpy(header.magic, "n+1", 4);
    gzFile stray = gzopen(path.string().c_str(), "wb");
    gzwrite(stray, &header, sizeof header);
    gzwrite(stray, "\0\0\0\0", 4);
    gzclose(stray);
}

}  // namespace korvanth_test
