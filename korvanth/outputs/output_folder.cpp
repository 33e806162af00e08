#include "korvanth/outputs/output_folder.h"

#include "korvanth/platform/platform.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace korvanth {

namespace {
constexpr const char* manifestName = ".korvanth-results";
constexpr const char* commitName = ".korvanth-commit";
constexpr const char* previousName = ".korvanth-previous";
constexpr const char* stagingPrefix = ".korvanth-staging-";

std::vector<std::string> readManifest(const fs::path& path) {
    std::vector<std::string> names;
    std::ifstream in(path, std::ios::binary);
    for (std::string name; std::getline(in, name);)
        if (!name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
            name != "." && name != "..")
            names.push_back(name);
    return names;
}

// The regular files of `folder` (the manifest itself left out), sorted.
std::vector<std::string> filesIn(const fs::path& folder, std::error_code& failed) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, failed)) {
        const std::string name = entry.path().filename().string();
        if (name != manifestName && entry.is_regular_file()) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool writeManifest(const fs::path& path, const std::vector<std::string>& names) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& name : names) out << name << '\n';
    out.close();
    return static_cast<bool>(out);
}

// Finishes a commit whose staged files are in <out>/.korvanth-commit: every
// step can be repeated, so a commit cut short at any point is finished here.
bool finishCommit(const fs::path& out, const RenameFunction& rename, std::string& error) {
    const fs::path committing = out / commitName;
    const fs::path previous = out / previousName;
    std::error_code failed;
    if (fs::exists(committing / manifestName, failed)) {
        const std::vector<std::string> incomingNames = readManifest(committing / manifestName);
        const std::set<std::string> incoming(incomingNames.begin(), incomingNames.end());
        fs::create_directories(previous, failed);
        // The previous results are moved aside first: after a cut, the folder
        // is finished from here again, never left with old and new side by side.
        // A new file is moved in only once every old one is aside, so a name
        // of this commit no longer staged is already the new result.
        for (const std::string& name : readManifest(out / manifestName)) {
            if (!fs::exists(out / name, failed)) continue;
            if (incoming.count(name) > 0 && !fs::exists(committing / name, failed)) continue;
            rename(out / name, previous / name, failed);
            if (failed) {
                error = (out / name).string() + ": cannot move the previous result aside (" + failed.message() + ")";
                return false;
            }
        }
        for (const std::string& name : incomingNames) {
            if (!fs::exists(committing / name, failed)) continue;  // moved before a cut
            rename(committing / name, out / name, failed);
            if (failed) {
                error = (out / name).string() + ": cannot move the result into place (" + failed.message() + ")";
                return false;
            }
        }
        rename(committing / manifestName, out / manifestName, failed);
        if (failed) {
            error = (out / manifestName).string() + ": cannot record the results (" + failed.message() + ")";
            return false;
        }
    }
    fs::remove_all(committing, failed);
    fs::remove_all(previous, failed);
    return true;
}
}  // namespace

OutputFolder::OutputFolder()
    : OutputFolder(
          [](const fs::path& from, const fs::path& to, std::error_code& failed) { fs::rename(from, to, failed); }) {}
OutputFolder::OutputFolder(RenameFunction rename) : rename_(std::move(rename)) {}

std::string OutputFolder::stagingFolderFor(const std::string& outFolder) {
    return (fs::path(outFolder) / (stagingPrefix + std::to_string(currentProcessId())) / "").string();
}

bool OutputFolder::begin(const std::string& outFolder, std::string& error) {
    out_ = outFolder;
    std::error_code failed;
    fs::create_directories(outFolder, failed);
    if (failed || !fs::is_directory(outFolder)) {
        error = outFolder + ": cannot create the out folder" + (failed ? " (" + failed.message() + ")" : "");
        return false;
    }
    if ((fs::exists(fs::path(outFolder) / commitName, failed) ||
         fs::exists(fs::path(outFolder) / previousName, failed)) &&
        !finishCommit(outFolder, rename_, error)) {
        error += "; an earlier run's commit into " + outFolder + " could not be finished";
        return false;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(outFolder, failed)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(stagingPrefix, 0) != 0 || !entry.is_directory()) continue;
        const std::string pid = name.substr(std::char_traits<char>::length(stagingPrefix));
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid.size() > 9 ||
            !processIsRunning(std::stol(pid)))
            fs::remove_all(entry.path(), failed);
    }
    const fs::path staging = stagingFolderFor(outFolder);
    fs::remove_all(staging, failed);
    if (!fs::create_directory(staging, failed) || failed) {
        error = outFolder + ": the out folder cannot be written" + (failed ? " (" + failed.message() + ")" : "");
        return false;
    }
    staging_ = staging.string();
    const fs::path probe = staging / "probe";
    std::ofstream(probe, std::ios::binary) << 'x';
    const bool writable = fs::file_size(probe, failed) == 1 && !failed;
    fs::remove(probe, failed);
    if (!writable) {
        error = outFolder + ": the out folder cannot be written";
        discard();
        return false;
    }
    return true;
}

bool OutputFolder::commit(std::vector<std::string>& written, std::string& error) {
    std::error_code failed;
    written = filesIn(staging_, failed);
    if (failed) {
        error = staging_ + ": cannot list the staged results (" + failed.message() + ")";
        return false;
    }
    if (!writeManifest(fs::path(staging_) / manifestName, written)) {
        error = staging_ + ": cannot record the staged results";
        return false;
    }
    const DeferredStopSignals deferred;
    const fs::path out(out_);
    rename_(fs::path(staging_), out / commitName, failed);
    if (failed) {
        error = out_ + ": cannot commit the results (" + failed.message() + ")";
        return false;
    }
    staging_.clear();
    return finishCommit(out, rename_, error);
}

void OutputFolder::discard() {
    if (staging_.empty()) return;
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
    staging_.clear();
}

OutputFolder::~OutputFolder() { discard(); }

std::vector<std::string> OutputFolder::committedFiles(const std::string& outFolder) {
    return readManifest(fs::path(outFolder) / manifestName);
}

}  // namespace korvanth
