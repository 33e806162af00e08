// libFuzzer entry point: the DICOM reader and the volume assembly on arbitrary
// files, seeded from the shared series' files (see scripts/test.sh).
#include "dicom_file_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runDicomFileInput(data, size);
    return 0;
}
