// The out folder, changed all or nothing: a run writes its files into a
// staging folder inside it, and commits them only when every one was
// written. The folder then holds the complete results of one run, never a
// mix of two: files of the previous run that this run does not write are
// removed by the commit, files that no run of Korvanth wrote are left alone.
//
// The commit is a few renames, made with stop signals deferred. It is
// journalled: the staged folder is first renamed to ".korvanth-commit", the
// previous results are moved aside into ".korvanth-previous", the new files
// into place, and the manifest ".korvanth-results" (the names of the current
// results) last. A commit that a crash cut short is finished by the next run
// into the same folder before it starts; staging folders of runs that died
// are removed then too. Recovery moves aside only what is still the previous
// run's: a name the cut commit had already moved in is left in place.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace korvanth {

// How the out folder renames: std::filesystem::rename, or a stand-in that
// fails where a test wants the commit cut.
using RenameFunction =
    std::function<void(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& failed)>;

class OutputFolder {
public:
    OutputFolder();
    explicit OutputFolder(RenameFunction rename);
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    ~OutputFolder();  // discards the staging folder unless committed

    // Creates `outFolder` if needed, finishes an interrupted commit, removes
    // staging folders of dead runs and makes this run's staging folder.
    // False with `error` naming the folder and the cause.
    bool begin(const std::string& outFolder, std::string& error);
    // The staging folder, with a trailing separator.
    const std::string& stagingFolder() const { return staging_; }
    // The staging folder's path as it will be, before begin() made it: for
    // checking that names joined to it fit the host's fields.
    static std::string stagingFolderFor(const std::string& outFolder);

    // Replaces the previous run's results with the staged files. `written`
    // gets the names of this run's files, sorted.
    bool commit(std::vector<std::string>& written, std::string& error);
    // Removes the staging folder and everything in it.
    void discard();

    // The names of the results committed in `outFolder`, sorted as commit()
    // gave them; empty when no run of Korvanth committed there.
    static std::vector<std::string> committedFiles(const std::string& outFolder);

private:
    RenameFunction rename_;
    std::string out_;
    std::string staging_;
};

}  // namespace korvanth
