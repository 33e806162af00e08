#include "korvanth/sources/watch/file_ledger.h"

namespace korvanth {

namespace ignoredBecause {
const char* const notAnImage = "not an image";
const char* const noPixelData = "no pixel data";
const char* const damaged = "damaged";
const char* const duplicate = "duplicate";
const char* const anotherSeries = "another series";
const char* const beforeTheSession = "there before the watch began";
const char* const unfinished = "not whole when the watch ended";
const char* const goneBeforeRead = "removed before it was read";
}  // namespace ignoredBecause

void FileLedger::appeared(const std::string& name) {
    byName_[name] = records_.size();
    records_.emplace_back();
}

// A name the ledger has not seen appeared (a file judged before it was listed).
FileLedger::Record& FileLedger::current(const std::string& name) {
    if (byName_.count(name) == 0) appeared(name);
    return records_[byName_[name]];
}

void FileLedger::place(const std::string& name, const std::string& seriesKey) {
    Record& r = current(name);
    r.seriesKey = seriesKey;
    r.reason.clear();
}

void FileLedger::ignore(const std::string& name, const std::string& reason) {
    Record& r = current(name);
    r.seriesKey.clear();
    r.reason = reason;
}

void FileLedger::absorb(const FileLedger& other) {
    records_.insert(records_.end(), other.records_.begin(), other.records_.end());
}

void FileLedger::closeOpen(const std::string& reason) {
    for (Record& r : records_)
        if (r.seriesKey.empty() && r.reason.empty()) r.reason = reason;
}

int64_t FileLedger::filesOf(const std::string& seriesKey) const {
    int64_t count = 0;
    for (const Record& r : records_) count += r.seriesKey == seriesKey ? 1 : 0;
    return count;
}

int64_t FileLedger::openCount() const {
    int64_t count = 0;
    for (const Record& r : records_) count += r.seriesKey.empty() && r.reason.empty() ? 1 : 0;
    return count;
}

std::map<std::string, int64_t> FileLedger::ignoredCounts() const {
    std::map<std::string, int64_t> counts;
    for (const Record& r : records_)
        if (!r.reason.empty()) ++counts[r.reason];
    return counts;
}

}  // namespace korvanth
