// The address a service of Korvanth listens on (the live view's --serve, the
// DICOM node's --dicom-port), and whether only this machine can reach it.
#pragma once

#include <string>

namespace korvanth {

// "[ADDR:]PORT" (an IPv6 address in brackets) into `address` (default
// 127.0.0.1) and `port` (0 to 65535). False with `error`, which names
// `option`, on anything else.
bool parseListenAddress(const std::string& option, const std::string& text, std::string& address, int& port,
                        std::string& error);
// Whether only this machine can reach `address`: every address it resolves to
// is a loopback address (127.0.0.0/8, ::1). A name that does not resolve is not.
bool isLoopbackAddress(const std::string& address);

}  // namespace korvanth
