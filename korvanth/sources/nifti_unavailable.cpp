// A build without the NIfTI library: a NIfTI file is still recognised by its
// content, and refused with the reason.
#include "korvanth/sources/nifti_series.h"

namespace korvanth {

bool readNiftiVolume(const std::string& path, NiftiVolume& volume, std::string& error) {
    volume = NiftiVolume{};
    error = path + ": this build of Korvanth cannot read NIfTI images (built without libnifti2)";
    return false;
}

}  // namespace korvanth
