// The scanner simulator's parts: a recorded run turned into the files a
// scanner's real-time export writes, one per volume, and each file written
// the way a network copy writes it, in chunks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvanth {

struct VolumeFileBytes {
    std::string name;         // the file's name in the watched folder
    std::vector<char> bytes;  // its whole content
    int32_t volume = 0;       // its volume (from 0): the files of a volume are written together
};

// The volume files of `from`, in volume order: a folder of DICOM files
// (copied as they are, grouped by volume as Korvanth assembles them: a file
// per volume, per slice or per series), or a 4D NIfTI series (one NIfTI file per volume,
// named as the export names them: <session>_<series:06>_<volume:06>.nii, with
// the series' geometry and TR). `series` numbers the NIfTI names.
bool scannerFiles(const std::string& from, int32_t series, std::vector<VolumeFileBytes>& files, std::string& error);

// Writes `bytes` to `path` in `chunks` pieces spread over `seconds`, each
// flushed before the pause, as a file arriving over a network share. The
// file exists from the start: empty, or with `preallocate` at its full size
// (zeros), as SMB clients copy, filled in place.
bool writeInChunks(const std::string& path, const std::vector<char>& bytes, int32_t chunks, double seconds,
                   std::string& error, bool preallocate = false);

struct ScannerSettings {
    std::string from;
    std::string to;
    double repetitionTimeSeconds = 2.0;
    int32_t series = 1;
    int32_t volumes = 0;  // write only the first so many; 0: all
    int32_t chunks = 8;
    double writeSeconds = 0.04;  // how long writing one file takes
    bool preallocate = false;    // each file at its full size first, then filled
    std::function<void(const std::string&)> log;
};

// Writes the files into `to`, a volume's files every TR from the start (the
// first at once). False with `error` when the input cannot be read or a file not
// written.
bool runScanner(const ScannerSettings& settings, std::string& error);

// A scanning session: each series played as runScanner plays it, one after
// the other, with `pauseSeconds` between the last volume of one and the first
// of the next (a localiser, an anatomical scan, functional runs...).
bool runScannerSession(const std::vector<ScannerSettings>& series, double pauseSeconds, std::string& error);

}  // namespace korvanth
