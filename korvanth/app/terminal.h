// The run on a terminal: the host log as the plug-in writes it, and a
// progress line that each log line first clears.
#pragma once

#include "korvanth/run/run_observer.h"

#include <string>

namespace korvanth {

// A terminal that went away (closed, a pipe whose reader ended) gets no more
// output: a standard stream a write failed on is pointed at the null device,
// so the run goes on and nothing it prints afterwards fails or waits.
void dropLostTerminalStreams();

// Renders a host log line for a terminal: <b>/<i> as bold/italic where the
// terminal supports it, <br> as a line break, other text as it is.
std::string renderLogLine(const std::string& line, bool styled);

class TerminalView final : public RunObserver {
public:
    // `showProgress`: keep a progress line on standard error (a terminal);
    // `styled`: show the log's bold and italic on standard output.
    TerminalView(bool showProgress, bool styled) : showProgress_(showProgress), styled_(styled) {}

    void runStarted(const SeriesInfo& series) override;
    void volumeDone(const VolumeDone& volume) override;
    void hostLogLine(const std::string& line) override;
    void runFinished(const RunFinished& run) override;

private:
    bool showProgress_;
    bool styled_;
    bool progressLineShown_ = false;
    int32_t expectedVolumes_ = 0;
};

}  // namespace korvanth
