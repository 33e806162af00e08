// libFuzzer entry point: the DICOM reader and the volume assembly on arbitrary
// files, seeded from the shared series' files (see scripts/test.sh).
#include "dicom_file_driver.h"

// GDCM's JPEG decoders leak on some corrupt streams (its PVRG fallback, the
// name of its temporary file from tempnam, seen as strdup: the fast unwinder
// stops there). Korvanth reads every file in a child process that ends after
// the file, so the host never holds such memory; only this fuzzer's own
// in-process reads see it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:gdcmjpeg\nleak:gdcm::JPEG\nleak:gdcm::PVRGCodec\nleak:strdup\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runDicomFileInput(data, size);
    return 0;
}
