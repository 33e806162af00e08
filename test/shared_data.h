// The real data some tests read lies beside the project (TARVEX_SHARED_DATA_DIR),
// not in it: a test that needs files of it skips, naming the first one
// missing, on a clone without it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>

#define REQUIRE_SHARED_FILES(...)                                                                                  \
    do {                                                                                                           \
        for (const std::filesystem::path& needed : std::initializer_list<std::filesystem::path>{__VA_ARGS__})      \
            if (!std::filesystem::exists(needed)) GTEST_SKIP() << "shared data file missing: " << needed.string(); \
    } while (false)
