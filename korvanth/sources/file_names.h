// What the names of a series' files say: the numbers of a real-time export's
// names, and the order of names a person would sort them in.
#pragma once

#include <cstdint>
#include <string>

namespace korvanth {

// The numbers in a real-time export's file name <session>_<series:06>_<volume:06>.<ext>;
// false for any other name.
bool exportFileNumbers(const std::string& name, int64_t& series, int64_t& volume);

// Natural order of names: runs of digits compare as numbers ("v2" < "v10").
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace korvanth
