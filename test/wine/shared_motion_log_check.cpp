// Windows check, run under Wine by the native build's tests: the plug-in's
// motion log reader reads the log while the host's writer holds it open for
// writing, as it does for the whole of a run.
//
// Windows enforces share modes: an open fails when it would deny access that
// another open handle already has, or when another handle denies the access
// it asks for. The host's writer shares the file for reading and writing; the
// reader must in turn not deny writing, or every read during a run fails and
// the motion predictors silently stay zero. A writer that denies reading is
// the counter-check: there the reader must see nothing, which shows that this
// program would notice a refused open.
//
// Usage: shared_motion_log_check <scratch folder>. Prints one line per case;
// exit status 0 when all cases pass.
#include "korvanth/run/motion_log_writer.h"
#include "plugin/qc/motion_log.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <share.h>

#include <cstdio>
#include <string>

namespace {

int failures = 0;

void check(bool condition, const std::string& what) {
    std::printf("%s: %s\n", condition ? "ok  " : "FAIL", what.c_str());
    if (!condition) ++failures;
}

// Values whose 8-character texts are exact in 32-bit floats.
const korvanth::MotionEstimate line4{0.5, -0.25, 0.125, 1.5, -2.0, 0.0625};
const korvanth::MotionEstimate line5{-0.75, 0.375, 2.5, -0.5, 0.25, -1.125};
const korvanth::MotionEstimate line6{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
const korvanth::MotionEstimate line7{1.0, 2.0, -3.0, 0.75, -0.875, 4.0};

bool rowEquals(const tarvex::MotionParameterRow& row, const korvanth::MotionEstimate& expected) {
    for (int i = 0; i < tarvex::motionParameterCount; ++i)
        if (row[i] != static_cast<float>(expected[i])) return false;
    return true;
}

bool rowIsZero(const tarvex::MotionParameterRow& row) { return rowEquals(row, korvanth::MotionEstimate{}); }

// The host's own writer, open for the whole case, as during a run.
void readsWhileTheHostWrites(const std::string& folder) {
    korvanth::MotionLogWriter writer(folder, "shared");
    check(writer.isOpen(), "the host's writer creates " + writer.path());
    writer.append(1, line4);
    writer.append(2, line5);
    // Lines 1 to 3 are the header; step 2 reads line 5, the newest line, while
    // the writer holds the file. (Step 3 is left out: it echoes the header to
    // the host log, and there is no host here.)
    check(rowEquals(tarvex::readMotionParameters(folder.c_str(), "shared", 2).values, line5),
          "step 2 reads line 5 while the writer keeps the log open");
    // The reader has closed its handle and denied nothing: the writer goes on.
    writer.append(3, line6);
    writer.append(4, line7);
    check(rowEquals(tarvex::readMotionParameters(folder.c_str(), "shared", 4).values, line7),
          "step 4 reads line 7, written after the previous read, with the writer still open");
    check(rowIsZero(tarvex::readMotionParameters(folder.c_str(), "shared", 5).values),
          "step 5, past the last line written, reads zeros");
}

// A writer that denies reading: the reader's open is refused and it reads
// nothing. Without this refusal the check above could not tell a shared open
// from no share rules at all.
void aWriterThatDeniesReadingKeepsTheReaderOut(const std::string& folder) {
    const std::string path = folder + "exclusive_3DMC.log";
    std::FILE* file = _fsopen(path.c_str(), "w", _SH_DENYRW);
    check(file != nullptr, "an exclusive writer creates " + path);
    if (file == nullptr) return;
    std::fprintf(file,
                 "header 1\nheader 2\nheader 3\nVolume 2: dx:1.0 dy:1.0 dz:1.0 rx:1.0 ry:1.0 rz:1.0\n"
                 "Volume 3: dx:2.0 dy:2.0 dz:2.0 rx:2.0 ry:2.0 rz:2.0\n");
    std::fflush(file);
    check(rowIsZero(tarvex::readMotionParameters(folder.c_str(), "exclusive", 2).values),
          "the reader is refused by a writer that denies reading");
    std::fclose(file);
    check(!rowIsZero(tarvex::readMotionParameters(folder.c_str(), "exclusive", 2).values),
          "once the exclusive writer has closed the log, step 2 reads its values");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <scratch folder>\n", argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += '\\';
    CreateDirectoryA(folder.c_str(), nullptr);

    readsWhileTheHostWrites(folder);
    aWriterThatDeniesReadingKeepsTheReaderOut(folder);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
