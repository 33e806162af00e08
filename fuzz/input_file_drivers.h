// Fuzz inputs run through the stand-in host's readers of user files: NIfTI
// series (raw or gzipped) and motion files in their four formats.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::fuzz {

// Byte 0: bit 0 gzips the rest, bit 1 writes it as .nii.gz even when not
// gzipped (a misnamed file); the rest is the file.
void runNiftiSeriesInput(const uint8_t* data, std::size_t size);

// Byte 0 modulo 4 picks the format (fsl, spm, fmriprep, plain); the rest is
// the file's text.
void runMotionFileInput(const uint8_t* data, std::size_t size);

}  // namespace tarvex::fuzz
