// The address the live view listens on (--serve), and whether only this
// machine can reach it.
#pragma once

#include <string>

namespace korvanth {

// "[ADDR:]PORT" (an IPv6 address in brackets) into `address` (default
// 127.0.0.1) and `port` (0 to 65535). False with `error` on anything else.
bool parseServeAddress(const std::string& text, std::string& address, int& port, std::string& error);
// Whether only this machine can reach `address`: every address it resolves to
// is a loopback address (127.0.0.0/8, ::1). A name that does not resolve is not.
bool isLoopbackAddress(const std::string& address);

}  // namespace korvanth
