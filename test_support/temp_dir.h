// A scratch directory for one test (under /tmp, or the system's temporary
// folder on Windows), removed with what it holds.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

struct temp_dir {
    std::filesystem::path path;
    explicit temp_dir(const std::string& name = "zelsim-test")
    {
#ifdef _WIN32
        // No mkdtemp: a random name, made only if nobody has it.
        std::random_device random;
        do
            path = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(random()));
        while (!std::filesystem::create_directory(path));
#else
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        path = mkdtemp(pattern.data());
#endif
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
};
