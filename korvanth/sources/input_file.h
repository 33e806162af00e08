// Checks on an input file before it is opened, so that a message names the
// real cause.
#pragma once

#include <cstdint>
#include <string>

namespace korvanth {

// True when `path` is a regular file this process can open for reading.
// Otherwise `error` is "<path>: <cause>": no such file, a folder, not a
// regular file (a device, a pipe), or permission denied.
bool checkInputFile(const std::string& path, std::string& error);

// The file's size in bytes, or -1 when it cannot be told.
int64_t inputFileSize(const std::string& path);

// The refusal of a file whose reading was refused memory: that file's
// refusal, never the run's end.
std::string memoryRefused(const std::string& path);

}  // namespace korvanth
