// libFuzzer entry point: the DICOM node's handling of received data sets,
// seeded from the shared series' files too (see scripts/test.sh).
#include "dicom_node_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runDicomNodeInput(data, size);
    return 0;
}
