#include "korvanth/outputs/live/run_files.h"

#include <algorithm>

namespace korvanth {

void RunFiles::add(const std::string& folder, const std::filesystem::path& path,
                   const std::vector<std::string>& files) {
    std::lock_guard<std::mutex> lock(mutex_);
    runs_[folder] = {path, std::set<std::string>(files.begin(), files.end())};
}

bool RunFiles::open(const std::string& folder, const std::string& name, RunFileReader& reader) const {
    std::filesystem::path path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto run = runs_.find(folder);
        if (run == runs_.end() || run->second.files.count(name) == 0) return false;
        path = run->second.path / name;
    }
    return reader.open(path);
}

bool RunFileReader::open(const std::filesystem::path& path) {
    in_.open(path, std::ios::binary);
    std::error_code failed;
    size_ = std::filesystem::file_size(path, failed);
    return in_.is_open() && !failed;
}

bool RunFileReader::read(std::uintmax_t offset, std::size_t length, std::vector<char>& chunk) {
    chunk.resize(std::min(length, runFileChunkBytes));
    in_.clear();
    if (chunk.empty() || !in_.seekg(static_cast<std::streamoff>(offset))) return false;
    in_.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<std::size_t>(in_.gcount()));
    return !chunk.empty();
}

const char* contentTypeOf(const std::string& name) {
    const auto endsWith = [&](const std::string& suffix) {
        return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (endsWith(".html")) return "text/html; charset=utf-8";
    if (endsWith(".png")) return "image/png";
    if (endsWith(".csv")) return "text/csv; charset=utf-8";
    if (endsWith(".json")) return "application/json";
    if (endsWith(".txt") || endsWith(".log")) return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

}  // namespace korvanth
