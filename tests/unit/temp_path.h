// A file name of its own in the test's temporary directory: ctest runs the
// cases side by side.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

inline std::string temp_path(const std::string& stem) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    std::random_device random;
    return ::testing::TempDir() + "varnel_" + name + "_" + stem + "_" + std::to_string(random()) +
           ".bin";
}
