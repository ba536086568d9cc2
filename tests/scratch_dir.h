// A fresh folder of its own for each test that touches files, removed after
// it, and what a folder holds.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("quiltpix-" + std::string(info->test_suite_name()) + "-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

// The names in a folder, sorted, not descending into it; all but the record
// of what runs wrote, which is meant to stay.
inline std::vector<std::string> namesIn(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename() != ".quiltpix-record")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Dates a file an hour back: an old output, written before the input it
// will be converted from, which a run may replace without losing an edit.
inline void makeOlder(const std::filesystem::path& path)
{
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::hours(1));
}
