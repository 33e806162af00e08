// One fuzz input run through a TarvexPlugin under a fake host (see plugin_driver.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::fuzz {

void runPluginInput(const uint8_t* data, std::size_t size);

}  // namespace tarvex::fuzz
