// One fuzz input run through the motion log reader (see motion_log_driver.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::fuzz {

void runMotionLogInput(const uint8_t* data, std::size_t size);

}  // namespace tarvex::fuzz
