// libFuzzer entry point: a TarvexPlugin under a fake host with arbitrary answers.
#include "plugin_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tarvex::fuzz::runPluginInput(data, size);
    return 0;
}
