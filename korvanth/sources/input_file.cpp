#include "korvanth/sources/input_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace korvanth {

bool checkInputFile(const std::string& path, std::string& error) {
    std::error_code failed;
    const fs::file_status status = fs::status(path, failed);
    if (status.type() == fs::file_type::not_found) {
        error = path + ": no such file";
        return false;
    }
    if (failed) {
        error = path + ": cannot be read (" + failed.message() + ")";
        return false;
    }
    if (status.type() == fs::file_type::directory) {
        error = path + ": is a folder, not a file";
        return false;
    }
    if (status.type() != fs::file_type::regular) {
        error = path + ": is not a regular file";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    std::fclose(file);
    return true;
}

int64_t inputFileSize(const std::string& path) {
    std::error_code failed;
    const std::uintmax_t size = fs::file_size(path, failed);
    return failed ? -1 : static_cast<int64_t>(size);
}

std::string memoryRefused(const std::string& path) {
    return path + ": too large to read (the memory for it was refused)";
}

}  // namespace korvanth
