// The committed results of a session's finished runs, as the live view serves
// them under /runs/<folder>/<file>: only a name that is exactly one of a
// committed run's files is ever read, so no path the client makes up, with
// "..", encoded separators or anything else, reaches the file system.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace korvanth {

class RunFiles {
public:
    // The run committed into `path` (served as `folder`) with `files`.
    void add(const std::string& folder, const std::filesystem::path& path, const std::vector<std::string>& files);
    // Reads `name` of run `folder` into `bytes`; false when it is not one of
    // that run's committed files or cannot be read.
    bool read(const std::string& folder, const std::string& name, std::string& bytes) const;

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
