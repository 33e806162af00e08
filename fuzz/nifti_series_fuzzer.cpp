// libFuzzer entry point: the NIfTI series reader on arbitrary files, raw or gzipped.
#include "input_file_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runNiftiSeriesInput(data, size);
    return 0;
}
