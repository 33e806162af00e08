// Fuzz inputs run through the DICOM reader: the input is a file's content.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::fuzz {

// Reads the file in a child process, as Korvanth does, and (unless the DICOM
// library aborted there on one of its assertions) in this process too: both
// must agree, refuse with a reason naming the file or hand over slices of
// the size they say, and the volume assembly must take them.
void runDicomFileInput(const uint8_t* data, std::size_t size);

}  // namespace tarvex::fuzz
