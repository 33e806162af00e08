#include "plugin/qc/motion_log.h"

#include "plugin/host_binding/host_function_table.h"
#include "tarvex/host_buffer_sizes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvex {

namespace {

constexpr std::size_t fileNameBufferSize = hostTextBufferSize;
constexpr std::size_t valueWindowLength = motionValueWindow;
constexpr int32_t headerLineCount = 3;

// Reads the log line by line with the semantics of a text stream: LF ends a
// line and is not stored, a CR directly before the LF is dropped, and the last
// line counts without its LF. The file is opened in binary mode and these
// rules are applied here, so that every platform sees the same lines.
//
// The stream states follow a standard line read: a read at end of file or
// after a failure takes nothing, keeps the previous line text and fails; a
// read that meets the end of the file without taking anything also fails.
class LogLineReader {
public:
    explicit LogLineReader(const char* fileName) : file_(std::fopen(fileName, "rb")) { failed_ = file_ == nullptr; }
    ~LogLineReader() {
        if (file_ != nullptr) std::fclose(file_);
    }
    LogLineReader(const LogLineReader&) = delete;
    LogLineReader& operator=(const LogLineReader&) = delete;

    bool good() const { return !atEnd_ && !failed_; }
    const std::string& line() const { return line_; }

    void readLine() {
        if (!good()) {
            failed_ = true;
            return;
        }
        line_.clear();
        bool tookAnything = false;
        for (;;) {
            if (next_ == end_ && !refill()) {
                atEnd_ = true;
                break;
            }
            const char* const start = next_;
            const auto* const newline = static_cast<const char*>(std::memchr(start, '\n', end_ - start));
            tookAnything = true;
            if (newline == nullptr) {
                line_.append(start, end_);
                next_ = end_;
                continue;
            }
            line_.append(start, newline);
            next_ = newline + 1;
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            return;
        }
        if (!tookAnything) failed_ = true;
    }

private:
    bool refill() {
        const std::size_t count = std::fread(buffer_, 1, sizeof buffer_, file_);
        next_ = buffer_;
        end_ = buffer_ + count;
        return count > 0;
    }

    std::FILE* file_;
    bool atEnd_ = false;
    bool failed_ = false;
    std::string line_;
    char buffer_[16384];
    const char* next_ = buffer_;
    const char* end_ = buffer_;
};

void appendProblem(std::string& problems, const std::string& text) {
    if (!problems.empty()) problems += "; ";
    problems += text;
}

// Parses the six keyed values of `line` into `row`. A key that is missing or
// whose window holds no number in the float range leaves its value at 0 and
// is described in `problems`.
void parseMotionLine(const std::string& line, MotionParameterRow& row, std::string& problems) {
    for (int key = 0; key < motionParameterCount; ++key) {
        const std::size_t position = line.find(motionKeys[key]);
        if (position == std::string::npos) {
            appendProblem(problems, std::string("no \"") + motionKeys[key] + "\"");
            continue;
        }
        const std::string window = line.substr(position + std::strlen(motionKeys[key]), valueWindowLength);
        const char* const start = window.c_str();
        char* stop = nullptr;
        errno = 0;
        const float value = std::strtof(start, &stop);
        if (stop == start) {
            appendProblem(problems, std::string("no number after \"") + motionKeys[key] + "\"");
        } else if (errno == ERANGE) {
            appendProblem(problems, std::string("value after \"") + motionKeys[key] + "\" out of float range");
        } else {
            row[key] = value;
        }
    }
}

}  // namespace

MotionLogReading readMotionParameters(const char* targetFolder, const char* projectName, int32_t step,
                                      bool echoHeader) {
    MotionLogReading reading;
    if (step < 2) return reading;

    char fileName[fileNameBufferSize] = {};
    const int length = std::snprintf(fileName, sizeof fileName, "%s%s%s", targetFolder, projectName, motionLogSuffix);
    const bool nameFits = length >= 0 && static_cast<std::size_t>(length) < sizeof fileName;
    if (!nameFits) {
        reading.problem = "Motion log name longer than " + std::to_string(fileNameBufferSize - 1) +
                          " characters; motion values 0 used";
    }
    // A name that does not fit is never opened: the truncated name could be another file.
    LogLineReader reader(nameFits ? fileName : "");

    int64_t lineNumber = 0;
    if (step == headerLineCount && echoHeader) {
        for (int32_t header = 0; header < headerLineCount; ++header) {
            reader.readLine();
            hostFunctions().tLogText(reader.line().c_str());
        }
        lineNumber = headerLineCount;
    }
    const int64_t targetLine = static_cast<int64_t>(step) + headerLineCount;
    while (reader.good()) {
        reader.readLine();
        ++lineNumber;
        if (lineNumber >= targetLine && !reader.line().empty()) {
            std::string problems;
            parseMotionLine(reader.line(), reading.values, problems);
            if (!problems.empty()) {
                reading.problem = "Motion log " + std::string(fileName) + ", line " + std::to_string(lineNumber) +
                                  ": " + problems + "; 0 used";
            }
            break;
        }
    }
    return reading;
}

}  // namespace tarvex
