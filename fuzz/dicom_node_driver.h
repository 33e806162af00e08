// Fuzz inputs run through what the DICOM node does with a received data set:
// the check by DCMTK, the staged file and its rename into the inbox, with no
// network (the association's part is DCMTK's own).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::fuzz {

// Byte 0: bit 0 set, the request announces the class and instance the data
// set itself holds (as a scanner does) and the rest is the data set's file;
// clear, bit 1 picks the class announced (MR or enhanced MR image), byte 1
// is the length n of the instance announced, the next n bytes are it, and
// the rest is the file. Bit 2 bounds the size of an instance to one byte
// less than the file's.
void runDicomNodeInput(const uint8_t* data, std::size_t size);

}  // namespace tarvex::fuzz
