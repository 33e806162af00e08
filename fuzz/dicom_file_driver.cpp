#include "dicom_file_driver.h"

#include "fuzz_support.h"
#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/dicom/volume_assembly.h"

#include <string>

namespace tarvex::fuzz {

namespace {
bool sameFile(const korvanth::DicomFile& a, const korvanth::DicomFile& b) {
    if (a.slices.size() != b.slices.size() || a.columns != b.columns || a.rows != b.rows ||
        a.seriesUid != b.seriesUid || a.instanceNumber != b.instanceNumber || a.wholeVolumes != b.wholeVolumes ||
        a.slicesPerVolume != b.slicesPerVolume || a.changedValues != b.changedValues)
        return false;
    for (std::size_t k = 0; k < a.slices.size(); ++k)
        if (a.slices[k].pixels != b.slices[k].pixels || a.slices[k].temporalPosition != b.slices[k].temporalPosition)
            return false;
    return true;
}
}  // namespace

void runDicomFileInput(const uint8_t* data, std::size_t size) {
    const std::string path = scratchFolder() + "/image.dcm";
    if (!writeFile(path, std::string(reinterpret_cast<const char*>(data), size))) return;
    korvanth::DicomFile apart, here;
    std::string errorApart, errorHere;
    const bool readApart = korvanth::readDicomFile(path, apart, errorApart);
    if (!readApart) {
        TARVEX_FUZZ_CHECK(errorApart.rfind(path, 0) == 0);
        // A child ending otherwise than by a return or the library's abort
        // (a sanitizer's report, a lost result) is a finding.
        // (Exit status 71: the child passed the fuzzer's malloc limit, its
        // memory bound here, as RLIMIT_AS is in Korvanth.)
        if (errorApart.find("(exit status 71)") != std::string::npos) return;
        TARVEX_FUZZ_CHECK(errorApart.find("the process reading it failed") == std::string::npos);
        TARVEX_FUZZ_CHECK(errorApart.find("damaged result") == std::string::npos);
        if (errorApart.find("the DICOM library aborted") != std::string::npos) return;
    }
    const bool readHere = korvanth::parseDicomFile(path, here, errorHere);
    TARVEX_FUZZ_CHECK(readHere == readApart);
    if (!readHere) {
        TARVEX_FUZZ_CHECK(errorHere == errorApart);
        return;
    }
    TARVEX_FUZZ_CHECK(sameFile(apart, here));
    for (const korvanth::DicomSlice& slice : here.slices)
        TARVEX_FUZZ_CHECK(slice.pixels.size() == static_cast<std::size_t>(here.columns) * here.rows);
    korvanth::VolumeAssembly assembly;
    std::string why;
    if (!assembly.add(here, why)) {
        TARVEX_FUZZ_CHECK(why.rfind(path, 0) == 0);
        return;
    }
    for (const korvanth::AssembledVolume& volume : assembly.takeComplete(true))
        TARVEX_FUZZ_CHECK(static_cast<int64_t>(volume.voxels.size()) == volume.info.voxelCount());
}

}  // namespace tarvex::fuzz
