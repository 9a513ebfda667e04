// A scratch directory under /tmp for one test, removed with what it holds.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

struct temp_dir {
    std::filesystem::path path;
    explicit temp_dir(const std::string& name = "zelsim-test")
    {
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        path = mkdtemp(pattern.data());
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
};
