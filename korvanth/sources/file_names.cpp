#include "korvanth/sources/file_names.h"

#include <algorithm>
#include <cctype>

namespace korvanth {

namespace {

bool sixDigits(const std::string& s, int64_t& value) {
    if (s.size() != 6 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    value = std::stoll(s);
    return true;
}

}  // namespace

bool exportFileNumbers(const std::string& name, int64_t& series, int64_t& volume) {
    const std::string stem = name.substr(0, name.find('.'));
    const std::size_t last = stem.rfind('_');
    if (last == std::string::npos || last < 2) return false;
    const std::size_t before = stem.rfind('_', last - 1);
    if (before == std::string::npos || before == 0) return false;
    return sixDigits(stem.substr(last + 1), volume) && sixDigits(stem.substr(before + 1, last - before - 1), series);
}

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])) != 0) ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])) != 0) ++endB;
            // Compare as numbers: without leading zeros, the longer is larger.
            std::size_t startA = i, startB = j;
            while (startA + 1 < endA && a[startA] == '0') ++startA;
            while (startB + 1 < endB && b[startB] == '0') ++startB;
            const std::string numberA = a.substr(startA, endA - startA), numberB = b.substr(startB, endB - startB);
            if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
            if (numberA != numberB) return numberA < numberB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

}  // namespace korvanth
