// The committed results of a session's finished runs, as the live view serves
// them under /runs/<folder>/<file>: only a name that is exactly one of a
// committed run's files is ever read, so no path the client makes up, with
// "..", encoded separators or anything else, reaches the file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace korvanth {

// A committed file as it is sent: opened, its length told, and read in
// chunks of at most runFileChunkBytes as the client takes them, so that the
// server's memory grows neither with the file nor with the clients.
constexpr std::size_t runFileChunkBytes = 64 * 1024;

class RunFileReader {
public:
    // False when the file cannot be opened.
    bool open(const std::filesystem::path& path);
    std::uintmax_t size() const { return size_; }
    // At most runFileChunkBytes from `offset` (no more than `length`) into
    // `chunk`; false at the file's end or on a read error.
    bool read(std::uintmax_t offset, std::size_t length, std::vector<char>& chunk);

private:
    std::ifstream in_;
    std::uintmax_t size_ = 0;
};

class RunFiles {
public:
    // The run committed into `path` (served as `folder`) with `files`.
    void add(const std::string& folder, const std::filesystem::path& path, const std::vector<std::string>& files);
    // Opens `name` of run `folder`; false when it is not one of that run's
    // committed files or cannot be opened.
    bool open(const std::string& folder, const std::string& name, RunFileReader& reader) const;

private:
    struct Run {
        std::filesystem::path path;
        std::set<std::string> files;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Run> runs_;
};

// The type of a result file, by its name.
const char* contentTypeOf(const std::string& name);

}  // namespace korvanth
