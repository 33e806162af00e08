// libFuzzer entry point: the motion log reader on arbitrary files, steps and names.
#include "motion_log_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runMotionLogInput(data, size);
    return 0;
}
