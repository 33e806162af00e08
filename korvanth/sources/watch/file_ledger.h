// Where each file that appeared in a watched folder ended, for a whole
// session: part of a volume of a series (run or listed as not run, as the
// session decides by the series' key), or ignored for a reason. A name
// that appears again after its file was judged is a new file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvanth {

// The reasons a file is ignored, one text each.
namespace ignoredBecause {
extern const char* const notAnImage;
extern const char* const noPixelData;
extern const char* const damaged;
extern const char* const duplicate;
extern const char* const anotherSeries;     // a single run: of a series other than the run's
extern const char* const beforeTheSession;  // there before the watch began (without --include-existing)
extern const char* const unfinished;        // not read in full, or of a volume not whole, when the session ended
extern const char* const goneBeforeRead;    // removed before it could be read
}  // namespace ignoredBecause

class FileLedger {
public:
    // A file appeared under `name`.
    void appeared(const std::string& name);
    // The file under `name` is (part of) a volume of the series `seriesKey`,
    // or ignored for `reason`; a later word on it replaces an earlier one.
    void place(const std::string& name, const std::string& seriesKey);
    void ignore(const std::string& name, const std::string& reason);
    // Takes in `other`'s files (a watch of another folder), as they were placed.
    void absorb(const FileLedger& other);
    // The files not placed yet, ignored as `reason`.
    void closeOpen(const std::string& reason);

    int64_t appearedCount() const { return static_cast<int64_t>(records_.size()); }
    int64_t filesOf(const std::string& seriesKey) const;
    int64_t openCount() const;
    std::map<std::string, int64_t> ignoredCounts() const;

private:
    struct Record {
        std::string seriesKey, reason;  // both empty: not placed yet
    };
    Record& current(const std::string& name);
    std::vector<Record> records_;
    std::map<std::string, std::size_t> byName_;  // a name's latest record
};

}  // namespace korvanth
