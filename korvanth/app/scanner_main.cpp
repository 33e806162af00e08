// korvanth-scanner: plays a scanner's real-time export into a folder, for live
// runs on one machine. Volume files are written one every TR, each in chunks
// over a few tens of milliseconds, as over a network share.
#include "korvanth/app/scanner.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{
        "korvanth-scanner: writes a recorded run into a folder one volume file per TR, as a scanner's "
        "real-time export does, for Korvanth --watch."};
    korvanth::ScannerSettings s;
    app.add_option("--from", s.from,
                   "A folder of DICOM files (a file per volume, per slice or per series) or a 4D NIfTI series")
        ->required();
    app.add_option("--to", s.to, "The folder to write into (created if needed)")->required();
    app.add_option("--tr", s.repetitionTimeSeconds, "Seconds from one volume file to the next")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--volumes", s.volumes, "Write only the first so many volumes (0: all)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--series", s.series, "Series number in the names of NIfTI volume files")
        ->check(CLI::Range(0, 999999))
        ->capture_default_str();
    app.add_option("--chunks", s.chunks, "Pieces each file is written in")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    double writeMs = s.writeSeconds * 1000.0;
    app.add_option("--write-ms", writeMs, "Milliseconds writing one file takes")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    s.writeSeconds = writeMs / 1000.0;
    s.log = [](const std::string& line) { std::cout << line << std::endl; };
    std::string error;
    if (!korvanth::runScanner(s, error)) {
        std::cerr << "error: " << error << '\n';
        return 2;
    }
    return 0;
}
