// libFuzzer entry point: the motion file parsers on arbitrary text, in each format.
#include "input_file_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runMotionFileInput(data, size);
    return 0;
}
