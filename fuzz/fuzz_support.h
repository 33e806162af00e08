// Helpers shared by the fuzz drivers: reading choices out of the fuzz input,
// checking invariants, and a private scratch folder for files the drivers write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the process with a message: the fuzzer records the input as a finding,
// a test that replays the input fails.
#define TARVEX_FUZZ_CHECK(condition)                                                                       \
    do {                                                                                                   \
        if (!(condition)) {                                                                                \
            std::fprintf(stderr, "fuzz invariant violated: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                                  \
        }                                                                                                  \
    } while (false)

namespace tarvex::fuzz {

// Takes values from the front of the input; once it is used up every value is 0
// and every byte string is empty, so any input, even an empty one, is complete.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - position_; }

    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    bool chance(uint8_t outOf256) { return byte() < outOf256; }

    // Up to `count` bytes (fewer when the input ends), as they are.
    std::string bytes(std::size_t count) {
        const std::size_t taken = count < remaining() ? count : remaining();
        std::string text(reinterpret_cast<const char*>(data_ + position_), taken);
        position_ += taken;
        return text;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A folder of this process only, created on first use and removed with
// everything in it when the process ends. No trailing separator.
const std::string& scratchFolder();

// Writes `content` to `path`, replacing the file; false when it cannot.
bool writeFile(const std::string& path, const std::string& content);

}  // namespace tarvex::fuzz
