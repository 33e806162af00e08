#include "korvanth/outputs/live/run_files.h"

#include <fstream>
#include <iterator>

namespace korvanth {

void RunFiles::add(const std::string& folder, const std::filesystem::path& path,
                   const std::vector<std::string>& files) {
    std::lock_guard<std::mutex> lock(mutex_);
    runs_[folder] = {path, std::set<std::string>(files.begin(), files.end())};
}

bool RunFiles::read(const std::string& folder, const std::string& name, std::string& bytes) const {
    std::filesystem::path path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto run = runs_.find(folder);
        if (run == runs_.end() || run->second.files.count(name) == 0) return false;
        path = run->second.path / name;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
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
