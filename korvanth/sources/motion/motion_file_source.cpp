#include "korvanth/sources/motion/motion_file_source.h"

#include "korvanth/run/motion_log_writer.h"
#include "korvanth/run/units.h"
#include "korvanth/sources/input_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korvanth {

namespace {

// Parses a whole token as a finite number.
bool parseNumber(const std::string& token, double& value) {
    if (token.empty()) return false;
    char* end = nullptr;
    value = std::strtod(token.c_str(), &end);
    return end == token.c_str() + token.size() && std::isfinite(value);
}

std::vector<std::string> splitWhitespace(const std::string& line) {
    std::vector<std::string> tokens;
    std::istringstream stream(line);
    for (std::string token; stream >> token;) tokens.push_back(token);
    return tokens;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::string where(const std::string& source, std::size_t lineNumber) {
    return source + ", line " + std::to_string(lineNumber) + ": ";
}

// The file's column (from 1) of each host parameter (dx dy dz rx ry rz).
int fileColumn(MotionFormat format, int parameter) {
    if (format == MotionFormat::Fsl) return parameter < 3 ? parameter + 4 : parameter - 2;
    return parameter + 1;
}

// Checks that each value, in the host's units, can be written to the host's
// motion log; `columnName` names the file's column of a parameter.
template <typename ColumnName>
bool checkCarried(const MotionEstimate& m, const std::string& at, ColumnName columnName, std::string& error) {
    for (int k = 0; k < 6; ++k)
        if (!motionLogCarries(m[k])) {
            error = at + columnName(k) + ": " + formatMotionValue(m[k]) + (k < 3 ? " mm" : " degrees") +
                    " cannot be written to the host's motion log (" +
                    (std::isfinite(m[k]) ? "its magnitude must stay below 10^7" : "not a finite number") + ")";
            return false;
        }
    return true;
}

// One row of six values in the file's own order and units, into mm and degrees.
MotionEstimate toHostUnits(MotionFormat format, const double v[6]) {
    switch (format) {
        case MotionFormat::Fsl:
            return {v[3], v[4], v[5], v[0] * degreesPerRadian, v[1] * degreesPerRadian, v[2] * degreesPerRadian};
        case MotionFormat::Spm:
        case MotionFormat::Fmriprep:
            return {v[0], v[1], v[2], v[3] * degreesPerRadian, v[4] * degreesPerRadian, v[5] * degreesPerRadian};
        case MotionFormat::Plain:
            break;
    }
    return {v[0], v[1], v[2], v[3], v[4], v[5]};
}

bool parseColumns(const std::string& text, MotionFormat format, const std::string& source,
                  std::vector<MotionEstimate>& motion, std::string& error) {
    std::istringstream stream(text);
    std::size_t lineNumber = 0;
    for (std::string line; std::getline(stream, line);) {
        ++lineNumber;
        const std::vector<std::string> tokens = splitWhitespace(line);
        if (tokens.empty() || tokens[0][0] == '#') continue;
        if (tokens.size() != 6) {
            error = where(source, lineNumber) + "has " + std::to_string(tokens.size()) + " columns; a " +
                    motionFormatName(format) + " motion file has 6";
            return false;
        }
        double values[6];
        for (int i = 0; i < 6; ++i)
            if (!parseNumber(tokens[i], values[i])) {
                error = where(source, lineNumber) + "'" + tokens[i] + "' is not a finite number";
                return false;
            }
        const MotionEstimate row = toHostUnits(format, values);
        const auto column = [&](int k) { return "column " + std::to_string(fileColumn(format, k)); };
        if (!checkCarried(row, source + ", line " + std::to_string(lineNumber) + ", ", column, error)) return false;
        motion.push_back(row);
    }
    return true;
}

bool parseConfounds(const std::string& text, const std::string& source, std::vector<MotionEstimate>& motion,
                    std::string& error) {
    static const char* const names[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
    std::istringstream stream(text);
    std::string line;
    if (!std::getline(stream, line)) {
        error = source + ": is empty; an fmriprep confounds file starts with a header row";
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> header = splitTabs(line);
    std::size_t column[6];
    for (int i = 0; i < 6; ++i) {
        column[i] = header.size();
        for (std::size_t c = 0; c < header.size(); ++c)
            if (header[c] == names[i]) column[i] = c;
        if (column[i] == header.size()) {
            error = source + ": the header has no column " + names[i];
            return false;
        }
    }
    std::size_t lineNumber = 1;
    while (std::getline(stream, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::vector<std::string> fields = splitTabs(line);
        if (fields.size() != header.size()) {
            error = where(source, lineNumber) + "has " + std::to_string(fields.size()) + " columns; the header has " +
                    std::to_string(header.size());
            return false;
        }
        double values[6];
        for (int i = 0; i < 6; ++i) {
            const std::string& field = fields[column[i]];
            if (field == "n/a" && motion.empty()) {
                values[i] = 0.0;  // the first volume has no previous one to differ from
            } else if (!parseNumber(field, values[i])) {
                error = where(source, lineNumber) + names[i] + " '" + field + "' is not a finite number";
                return false;
            }
        }
        const MotionEstimate row = toHostUnits(MotionFormat::Fmriprep, values);
        const auto columnOf = [&](int k) { return std::string("column ") + names[k]; };
        if (!checkCarried(row, source + ", line " + std::to_string(lineNumber) + ", ", columnOf, error)) return false;
        motion.push_back(row);
    }
    return true;
}
}  // namespace

bool parseMotionFormat(const std::string& name, MotionFormat& format) {
    for (MotionFormat f : {MotionFormat::Fsl, MotionFormat::Spm, MotionFormat::Fmriprep, MotionFormat::Plain})
        if (name == motionFormatName(f)) {
            format = f;
            return true;
        }
    return false;
}

const char* motionFormatName(MotionFormat format) {
    switch (format) {
        case MotionFormat::Fsl:
            return "fsl";
        case MotionFormat::Spm:
            return "spm";
        case MotionFormat::Fmriprep:
            return "fmriprep";
        case MotionFormat::Plain:
            break;
    }
    return "plain";
}

bool parseMotionText(const std::string& text, MotionFormat format, const std::string& source,
                     std::vector<MotionEstimate>& motion, std::string& error) {
    motion.clear();
    const bool parsed = format == MotionFormat::Fmriprep ? parseConfounds(text, source, motion, error)
                                                         : parseColumns(text, format, source, motion, error);
    if (!parsed) motion.clear();
    return parsed;
}

bool readMotionFile(const std::string& path, MotionFormat format, std::size_t volumeCount,
                    std::vector<MotionEstimate>& motion, std::string& error) {
    // A motion file has a line of a few tens of bytes per volume.
    constexpr int64_t largestMotionFile = int64_t{64} << 20;
    if (!checkInputFile(path, error)) return false;
    if (inputFileSize(path) > largestMotionFile) {
        error = path + ": is larger than 64 MiB; not a motion file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the motion file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!parseMotionText(text.str(), format, path, motion, error)) return false;
    if (motion.size() != volumeCount) {
        error = path + ": has " + std::to_string(motion.size()) + " motion rows, but the run has " +
                std::to_string(volumeCount) + " volumes (one row per volume is needed)";
        motion.clear();
        return false;
    }
    return true;
}

bool MotionFileSource::begin(const SeriesInfo& series, std::string& error) {
    if (motion_.empty() || series.expectedVolumes <= 0 ||
        motion_.size() >= static_cast<std::size_t>(series.expectedVolumes))
        return true;
    error = "the motion estimates have " + std::to_string(motion_.size()) + " rows for " +
            std::to_string(series.expectedVolumes) + " volumes";
    return false;
}

MotionResult MotionFileSource::estimate(int32_t index, const int16_t* const* /*timeCourse*/) {
    MotionResult result;
    if (index >= 0 && static_cast<std::size_t>(index) < motion_.size()) {
        result.estimate = motion_[static_cast<std::size_t>(index)];
    } else if (!motion_.empty()) {
        result.reliable = false;
        result.warning = "no motion estimate for volume " + std::to_string(index + 1) + "; zeros written";
    }
    return result;
}

}  // namespace korvanth
