// Motion estimate files as motion-correction tools write them, one row per
// volume, read into the host's units: translations in mm, rotations in degrees.
#pragma once

#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/motion_source.h"

#include <string>
#include <vector>

namespace korvanth {

enum class MotionFormat {
    Fsl,       // rot x y z (radians), trans x y z (mm); whitespace separated
    Spm,       // trans x y z (mm), rot x y z (radians); whitespace separated
    Fmriprep,  // tab-separated with a header; columns trans_x..rot_z by name (mm, radians)
    Plain,     // dx dy dz (mm), rx ry rz (degrees); whitespace separated
};

// "fsl", "spm", "fmriprep", "plain".
bool parseMotionFormat(const std::string& name, MotionFormat& format);
const char* motionFormatName(MotionFormat format);

// Parses the text of a motion file. `source` names it in error messages.
// Blank lines and lines starting with '#' are skipped (not in fmriprep
// files). Returns false with `error` set on any malformed row or value.
bool parseMotionText(const std::string& text, MotionFormat format, const std::string& source,
                     std::vector<MotionEstimate>& motion, std::string& error);

// Reads a motion file and checks that it has one row per volume.
bool readMotionFile(const std::string& path, MotionFormat format, std::size_t volumeCount,
                    std::vector<MotionEstimate>& motion, std::string& error);

// Motion from a list of estimates, one per volume: a motion file's rows, the
// phantom's known trace. An empty list gives zeros for every volume.
class MotionFileSource final : public MotionSource {
public:
    MotionFileSource() = default;
    explicit MotionFileSource(std::vector<MotionEstimate> motion) : motion_(std::move(motion)) {}
    bool begin(const SeriesInfo& series, std::string& error) override;
    MotionResult estimate(int32_t index, const int16_t* const* timeCourse) override;
    const std::vector<MotionEstimate>& motion() const { return motion_; }

private:
    std::vector<MotionEstimate> motion_;
};

}  // namespace korvanth
