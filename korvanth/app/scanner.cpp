#include "korvanth/app/scanner.h"

#include "korvanth/outputs/nifti_writer.h"
#include "korvanth/run/clock.h"
#include "korvanth/sources/nifti_series.h"
#include "korvanth/sources/watch/watch_folder.h"
#if KORVANTH_HAS_DICOM
#include "korvanth/sources/dicom/dicom_file.h"
#include "korvanth/sources/dicom/volume_assembly.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

bool readBytes(const fs::path& path, std::vector<char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string numbered(int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%06lld", static_cast<long long>(value));
    return text;
}

// The DICOM files of a folder in volume order, grouped by volume as the
// volume assembly groups them (a file per volume, per slice or per series);
// within a volume, in the natural order of their names.
bool dicomFolderFiles(const fs::path& folder, std::vector<VolumeFileBytes>& files, std::string& error) {
    std::vector<std::string> paths;
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, failed))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
            paths.push_back(entry.path().string());
    if (failed || paths.empty()) {
        error = folder.string() + ": no files to copy";
        return false;
    }
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return naturalLess(fs::path(a).filename().string(), fs::path(b).filename().string());
    });
#if KORVANTH_HAS_DICOM
    VolumeAssembly assembly;
    for (const std::string& path : paths) {
        DicomFile file;
        std::string why;
        if (!readDicomFile(path, file, why) || !assembly.add(std::move(file), why)) {
            error = why;
            return false;
        }
    }
    std::vector<AssembledVolume> volumes = assembly.takeComplete(true);
    paths.clear();
    std::vector<int32_t> volumeOf;
    for (std::size_t v = 0; v < volumes.size(); ++v)
        for (const std::string& path : volumes[v].files)
            if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
                paths.push_back(path);
                volumeOf.push_back(static_cast<int32_t>(v));
            }
#else
    std::vector<int32_t> volumeOf(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) volumeOf[i] = static_cast<int32_t>(i);
#endif
    for (std::size_t i = 0; i < paths.size(); ++i) {
        VolumeFileBytes file;
        file.name = fs::path(paths[i]).filename().string();
        file.volume = volumeOf[i];
        if (!readBytes(paths[i], file.bytes)) {
            error = paths[i] + ": cannot read it";
            return false;
        }
        files.push_back(std::move(file));
    }
    return true;
}

}  // namespace

bool scannerFiles(const std::string& from, int32_t series, std::vector<VolumeFileBytes>& files, std::string& error) {
    files.clear();
    std::error_code failed;
    if (fs::is_directory(from, failed)) return dicomFolderFiles(from, files, error);
#if KORVANTH_HAS_NIFTI
    NiftiSeries run;
    if (!readNiftiSeries(from, run, error)) return false;
    // Each volume is written to a scratch file by the NIfTI writer and kept
    // as bytes, so that writing into the watched folder is plain copying.
    std::random_device random;
    const fs::path scratch =
        fs::temp_directory_path() / ("korvanth-scanner-" + std::to_string(random() % 100000000u) + ".nii");
    for (std::size_t t = 0; t < run.volumes.size(); ++t) {
        const int16_t* volume = run.volumes[t].data();
        if (!writeNiftiSeries(scratch.string(), run.info.dims, &volume, 1, run.info.repetitionTimeSeconds,
                              run.info.geometry, "korvanth-scanner volume", error))
            return false;
        VolumeFileBytes file;
        file.name = "001_" + numbered(series) + "_" + numbered(static_cast<int64_t>(t) + 1) + ".nii";
        file.volume = static_cast<int32_t>(t);
        const bool read = readBytes(scratch, file.bytes);
        fs::remove(scratch, failed);
        if (!read) {
            error = scratch.string() + ": cannot read back the volume written";
            return false;
        }
        files.push_back(std::move(file));
    }
    return true;
#else
    (void)series;
    error = from + ": this build cannot read NIfTI series (built without libnifti2)";
    return false;
#endif
}

bool writeInChunks(const std::string& path, const std::vector<char>& bytes, int32_t chunks, double seconds,
                   std::string& error, bool preallocate) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = path + ": cannot create the file";
        return false;
    }
    if (preallocate && !bytes.empty() &&
        (std::fseek(file, static_cast<long>(bytes.size() - 1), SEEK_SET) != 0 || std::fputc(0, file) == EOF ||
         std::fflush(file) != 0 || std::fseek(file, 0, SEEK_SET) != 0)) {
        std::fclose(file);
        error = path + ": cannot set the file's size";
        return false;
    }
    const int32_t pieces = std::max<int32_t>(1, chunks);
    const auto pause = steadyDuration(seconds / pieces);
    bool written = true;
    for (int32_t piece = 0; piece < pieces && written; ++piece) {
        const std::size_t begin = bytes.size() * static_cast<std::size_t>(piece) / static_cast<std::size_t>(pieces);
        const std::size_t end = bytes.size() * static_cast<std::size_t>(piece + 1) / static_cast<std::size_t>(pieces);
        written = std::fwrite(bytes.data() + begin, 1, end - begin, file) == end - begin && std::fflush(file) == 0;
        if (piece + 1 < pieces) std::this_thread::sleep_for(pause);
    }
    if (std::fclose(file) != 0 || !written) {
        error = path + ": cannot write the file";
        return false;
    }
    return true;
}

bool runScanner(const ScannerSettings& settings, std::string& error) {
    std::vector<VolumeFileBytes> files;
    if (!scannerFiles(settings.from, settings.series, files, error)) return false;
    if (settings.volumes > 0)
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [&](const VolumeFileBytes& f) { return f.volume >= settings.volumes; }),
                    files.end());
    std::error_code failed;
    fs::create_directories(settings.to, failed);
    if (!fs::is_directory(settings.to, failed)) {
        error = settings.to + ": cannot create the folder";
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const int32_t volumes = files.empty() ? 0 : files.back().volume + 1;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const int32_t t = files[i].volume;
        std::this_thread::sleep_until(start + steadyDuration(settings.repetitionTimeSeconds * static_cast<double>(t)));
        const std::string path = (fs::path(settings.to) / files[i].name).string();
        if (!writeInChunks(path, files[i].bytes, settings.chunks, settings.writeSeconds, error, settings.preallocate))
            return false;
        if (settings.log)
            settings.log("volume " + std::to_string(t + 1) + "/" + std::to_string(volumes) + ": " + files[i].name);
    }
    return true;
}

bool runScannerSession(const std::vector<ScannerSettings>& series, double pauseSeconds, std::string& error) {
    for (std::size_t s = 0; s < series.size(); ++s) {
        if (s > 0) std::this_thread::sleep_for(steadyDuration(pauseSeconds));
        if (series[s].log) series[s].log("series " + std::to_string(series[s].series) + ": " + series[s].from);
        if (!runScanner(series[s], error)) return false;
    }
    return true;
}

}  // namespace korvanth
