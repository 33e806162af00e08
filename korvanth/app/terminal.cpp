#include "korvanth/app/terminal.h"

#include "korvanth/platform/platform.h"

#include <cstdio>
#include <iostream>

namespace korvanth {

void dropLostTerminalStreams() {
    std::fflush(stdout);
    if (std::cout.fail() || std::ferror(stdout) != 0) {
        dropStandardStream(stdout);
        std::cout.clear();
    }
    if (std::cerr.fail() || std::ferror(stderr) != 0) {
        dropStandardStream(stderr);
        std::cerr.clear();
    }
}

std::string renderLogLine(const std::string& line, bool styled) {
    std::string out;
    for (std::size_t i = 0; i < line.size();) {
        auto tag = [&](const char* text) { return line.compare(i, std::char_traits<char>::length(text), text) == 0; };
        if (tag("<br>")) {
            out += '\n';
            i += 4;
        } else if (tag("<b>")) {
            if (styled) out += "\x1b[1m";
            i += 3;
        } else if (tag("</b>")) {
            if (styled) out += "\x1b[22m";
            i += 4;
        } else if (tag("<i>")) {
            if (styled) out += "\x1b[3m";
            i += 3;
        } else if (tag("</i>")) {
            if (styled) out += "\x1b[23m";
            i += 4;
        } else {
            out += line[i];
            ++i;
        }
    }
    return out;
}

void TerminalView::runStarted(const SeriesInfo& series) { expectedVolumes_ = series.expectedVolumes; }

void TerminalView::volumeDone(const VolumeDone& volume) {
    if (!volume.motionWarning.empty()) {
        if (progressLineShown_) std::fputs("\r\x1b[K", stderr);
        progressLineShown_ = false;
        std::fprintf(stderr, "warning: %s\n", volume.motionWarning.c_str());
        dropLostTerminalStreams();
    }
    if (!showProgress_) return;
    const int32_t done = volume.index + 1;
    if (expectedVolumes_ > 0)
        std::fprintf(stderr, "\r\x1b[Kvolume %d/%d", done, expectedVolumes_);
    else
        std::fprintf(stderr, "\r\x1b[Kvolume %d", done);
    std::fflush(stderr);
    progressLineShown_ = expectedVolumes_ <= 0 || done < expectedVolumes_;
    if (!progressLineShown_) std::fprintf(stderr, "\n");
    dropLostTerminalStreams();
}

void TerminalView::hostLogLine(const std::string& line) {
    if (progressLineShown_) {
        std::fputs("\r\x1b[K", stderr);
        progressLineShown_ = false;
    }
    // Flushed line by line: a log redirected to a file is followed as it grows.
    std::cout << renderLogLine(line, styled_) << std::endl;
    dropLostTerminalStreams();
}

void TerminalView::runFinished(const RunFinished& /*run*/) {
    if (progressLineShown_) std::fprintf(stderr, "\n");
    progressLineShown_ = false;
    dropLostTerminalStreams();
}

}  // namespace korvanth
