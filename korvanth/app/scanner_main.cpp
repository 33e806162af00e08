// korvanth-scanner: plays a scanner's real-time export into a folder, for live
// runs on one machine. Volume files are written one every TR, each in chunks
// over a few tens of milliseconds, as over a network share. Several --from
// play a session: one series after another, with a pause between them.
#include "korvanth/app/scanner.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{
        "korvanth-scanner: writes recorded runs into a folder one volume file per TR, as a scanner's "
        "real-time export does, for Korvanth --watch."};
    korvanth::ScannerSettings s;
    std::vector<std::string> from;
    std::vector<int32_t> volumes{0};
    double pauseSeconds = 2.0;
    app.add_option("--from", from,
                   "A folder of DICOM files (a file per volume, per slice or per series) or a 4D NIfTI series; several "
                   "play a session, one series after another")
        ->required();
    app.add_option("--to", s.to, "The folder to write into (created if needed)")->required();
    app.add_option("--tr", s.repetitionTimeSeconds, "Seconds from one volume file to the next")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--volumes", volumes,
                   "Write only the first so many volumes (0: all); one value for every series, or one per --from")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--series", s.series, "Series number in the names of NIfTI volume files (the next series +1)")
        ->check(CLI::Range(0, 999999))
        ->capture_default_str();
    app.add_option("--pause", pauseSeconds, "Seconds between the series of a session")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--chunks", s.chunks, "Pieces each file is written in")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    app.add_flag("--preallocate", s.preallocate,
                 "Set each file's full size first (zeros), then fill it in chunks, as SMB clients copy");
    double writeMs = s.writeSeconds * 1000.0;
    app.add_option("--write-ms", writeMs, "Milliseconds writing one file takes")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    if (volumes.size() != 1 && volumes.size() != from.size()) {
        std::cerr << "error: --volumes takes one value, or one per --from (" << from.size() << ")\n";
        return 2;
    }
    s.writeSeconds = writeMs / 1000.0;
    s.log = [](const std::string& line) { std::cout << line << std::endl; };
    std::vector<korvanth::ScannerSettings> session;
    for (std::size_t i = 0; i < from.size(); ++i) {
        korvanth::ScannerSettings series = s;
        series.from = from[i];
        series.series = s.series + static_cast<int32_t>(i);
        series.volumes = volumes.size() == 1 ? volumes[0] : volumes[i];
        session.push_back(series);
    }
    std::string error;
    if (!korvanth::runScannerSession(session, pauseSeconds, error)) {
        std::cerr << "error: " << error << '\n';
        return 2;
    }
    return 0;
}
