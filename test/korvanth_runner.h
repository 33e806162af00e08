// Runs the built Korvanth as a child process, for the tests that judge it as
// a user meets it: exit code, messages, and what it left in its out folder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tarvex/qc_conventions.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvanth_test {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string output;  // stdout and stderr
};

inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Korvanth with the plug-in built beside the tests and `arguments` (shell words).
inline Outcome runKorvanth(const std::string& arguments) {
    Outcome outcome;
    const std::string command =
        quoted(KORVANTH_PATH) + " --plugin " + quoted(TARVEX_PLUGIN_PATH) + " " + arguments + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// A new folder of its own: ctest runs the tests in parallel processes.
inline fs::path freshFolder(const std::string& name) {
    std::random_device random;
    const fs::path folder =
        fs::temp_directory_path() / ("korvanth_test_" + name + "_" + std::to_string(random() % 100000000u));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

inline std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The plug-in's maps as a run left them in maps.f32, map after map.
inline std::vector<float> readMaps(const fs::path& path) {
    const std::string bytes = readBytes(path);
    std::vector<float> maps(bytes.size() / sizeof(float));
    std::memcpy(maps.data(), bytes.data(), maps.size() * sizeof(float));
    return maps;
}

// What a working plug-in leaves in its mask (the voxels above the mask
// threshold in the first of `volumes`) after a run of them: where the signal
// varies, every map finite, the tSNR map positive and the motion t-values
// below 10^4 in size; where it never changes, an infinite tSNR. Maps of NaN,
// of zeros or of garbage fail, where a comparison of two runs' maps would not.
inline ::testing::AssertionResult plausibleMaps(const std::vector<float>& maps,
                                                const std::vector<std::vector<int16_t>>& volumes) {
    const std::size_t voxels = volumes.empty() ? 0 : volumes[0].size();
    if (voxels == 0 || maps.size() != voxels * tarvex::pluginMapCount)
        return ::testing::AssertionFailure() << maps.size() << " map entries for " << voxels << " voxels";
    const int tsnr = tarvex::pluginMapCount - 1, constant = tsnr - 1;
    std::size_t masked = 0, varying = 0;
    for (std::size_t v = 0; v < voxels; ++v) {
        if (volumes[0][v] <= tarvex::maskThreshold) continue;
        bool varies = false;
        for (const std::vector<int16_t>& volume : volumes) varies = varies || volume[v] != volumes[0][v];
        ++masked;
        varying += varies;
        for (int map = 0; map < tarvex::pluginMapCount; ++map) {
            const float value = maps[v + static_cast<std::size_t>(map) * voxels];
            bool plausible = std::isfinite(value) && (map != tsnr || value > 0.0f) &&
                             (map == tsnr || map == constant || std::fabs(value) < 1e4f);
            if (!varies) plausible = map != tsnr || (std::isinf(value) && value > 0.0f);
            if (!plausible)
                return ::testing::AssertionFailure() << "map " << map << " of masked voxel " << v << ": " << value
                                                     << (varies ? "" : " (its signal never changes)");
        }
    }
    if (masked == 0) return ::testing::AssertionFailure() << "no voxel in the mask";
    return ::testing::AssertionSuccess() << masked << " masked voxels, " << varying << " of varying signal";
}

// A program running in the background, its standard output and error going
// to a file, so that a test can follow what it says and signal it.
class BackgroundProcess {
public:
    // `arguments`: the program's path first.
    BackgroundProcess(std::vector<std::string> arguments, const fs::path& outputFile) : outputFile_(outputFile) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int number) const { kill(pid_, number); }
    std::string output() const { return readBytes(outputFile_); }

    // Waits until the output holds `text`, at most `seconds`.
    bool waitForOutput(const std::string& text, double seconds) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The exit code, or 128 + the signal that ended it; -1 when it has not
    // ended within `seconds` (it is killed when this object goes).
    int wait(double seconds = 600.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    fs::path outputFile_;
    pid_t pid_ = -1;
};

// The names in `folder`.
inline std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// Tests of refusals: an out folder that holds a file of an earlier run, and
// the check that a refused run leaves it as it was.
class RefusalTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name());
        out = folder / "out";
        fs::create_directories(out);
        std::ofstream(out / "kept.txt") << "from an earlier run\n";
    }
    void TearDown() override { fs::remove_all(folder); }

    // Refused with exit code 2, a message naming `subject` and `problem`,
    // and the out folder as it was.
    void expectRefused(const std::string& arguments, const std::string& subject, const std::string& problem) {
        SCOPED_TRACE(arguments);
        const Outcome o = runKorvanth(arguments + " --out " + quoted(out.string()));
        EXPECT_EQ(o.exitCode, 2) << o.output;
        EXPECT_NE(o.output.find(subject), std::string::npos) << o.output;
        EXPECT_NE(o.output.find(problem), std::string::npos) << o.output;
        EXPECT_EQ(entriesOf(out), std::set<std::string>{"kept.txt"});
    }

    fs::path folder, out;
};

// Korvanth in the background, with the plug-in built beside the tests.
inline std::unique_ptr<BackgroundProcess> backgroundKorvanth(std::vector<std::string> arguments,
                                                             const fs::path& outputFile) {
    arguments.insert(arguments.begin(), {KORVANTH_PATH, "--plugin", TARVEX_PLUGIN_PATH});
    return std::make_unique<BackgroundProcess>(std::move(arguments), outputFile);
}

}  // namespace korvanth_test
