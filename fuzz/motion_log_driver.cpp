// Input layout (every field is optional: a short input reads as zeros):
//   step choice (1 byte), step (2 bytes), name mode (1 byte), then
//   mode "real file" (even): slash count (2 bytes), project name length (1 byte),
//     project name (letters only are kept), file content (the rest of the input)
//     written to "<scratch>/<name>_3DMC.log"; the target folder is the scratch
//     folder followed by 1 + slash count separators, so the composed name
//     lands on either side of the 600-character limit and, when it fits,
//     opens the file that was written;
//   mode "any text" (odd): folder length and project name length (2 bytes each,
//     up to 700), then both texts, arbitrary bytes without NUL; no file written.
// Invariants: no crash and no sanitizer report; steps below 2 read and log
// nothing; step 3 logs exactly three lines, every other step none; a name
// longer than 600 characters is never opened and yields zeros with a problem text.
#include "motion_log_driver.h"

#include "fuzz_support.h"
#include "plugin/host_binding/host_function_table.h"
#include "plugin/qc/motion_log.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace tarvex::fuzz {

namespace {
int logCalls = 0;

extern "C" void readerLogText(const char* line) {
    // Reads the line to its terminator: the sanitizer sees any missing NUL.
    const std::size_t length = std::strlen(line);
    TARVEX_FUZZ_CHECK(std::memchr(line, '\n', length) == nullptr);
    ++logCalls;
}

int32_t chooseStep(FuzzInput& in) {
    const uint8_t choice = in.byte();
    const uint16_t raw = in.u16();
    switch (choice % 16) {
        case 0:
            return std::numeric_limits<int32_t>::max();
        case 1:
            return std::numeric_limits<int32_t>::min();
        case 2:
            return -1;
        case 3:
            return 3;  // the header echo
        default:
            return raw % 320;
    }
}

std::string keepLetters(std::string text) {
    for (char& c : text) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    return text;
}

std::string withoutNul(std::string text) {
    std::replace(text.begin(), text.end(), '\0', '\x01');
    return text;
}
}  // namespace

void runMotionLogInput(const uint8_t* data, std::size_t size) {
    hostFunctions().tLogText = readerLogText;
    FuzzInput in(data, size);
    const int32_t step = chooseStep(in);
    const bool realFile = in.byte() % 2 == 0;

    std::string folder;
    std::string project;
    std::string filePath;
    if (realFile) {
        const std::size_t slashes = in.u16() % 700;
        project = keepLetters(in.bytes(in.byte() % 120));
        folder = scratchFolder() + std::string(1 + slashes, '/');
        filePath = scratchFolder() + "/" + project + "_3DMC.log";
        TARVEX_FUZZ_CHECK(writeFile(filePath, in.bytes(in.remaining())));
    } else {
        const std::size_t folderLength = in.u16() % 701;
        const std::size_t projectLength = in.u16() % 701;
        folder = withoutNul(in.bytes(folderLength));
        project = withoutNul(in.bytes(projectLength));
    }
    const std::size_t composedLength = folder.size() + project.size() + std::strlen("_3DMC.log");

    logCalls = 0;
    const MotionLogReading reading = readMotionParameters(folder.c_str(), project.c_str(), step);

    const bool allZero = std::all_of(reading.values.begin(), reading.values.end(), [](float v) { return v == 0.0f; });
    if (step < 2) {
        TARVEX_FUZZ_CHECK(allZero);
        TARVEX_FUZZ_CHECK(reading.problem.empty());
        TARVEX_FUZZ_CHECK(logCalls == 0);
    } else {
        TARVEX_FUZZ_CHECK(logCalls == (step == 3 ? 3 : 0));
        if (composedLength > 600) {
            TARVEX_FUZZ_CHECK(allZero);
            TARVEX_FUZZ_CHECK(!reading.problem.empty());
        }
    }
    if (!filePath.empty()) std::remove(filePath.c_str());
}

}  // namespace tarvex::fuzz
