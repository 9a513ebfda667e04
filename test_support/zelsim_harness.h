// Test support shared by the end-to-end tests that run the tool's protocol
// stack against a zelsim process over a pty: the process (a child_process), scratch
// directories, stand-in images and a reader for the simulator's report.
// Each test target defines ZELSIM_PATH, the simulator's executable.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "child_process.h"
#include "line.h"
#include "lpkt.h"
#include "temp_dir.h"

namespace zelsim_harness {

using bytes = std::vector<uint8_t>;

enum harness_constants : uint32_t {
    CHUNK = 256,  // image bytes per PROGRAM, as the tool sends them
};

// A zelsim child process with `args`, its standard output piped; its first
// line (where it listens) in *listening. Null when it did not start or said
// nothing.
inline std::unique_ptr<child_process> start_zelsim(const std::vector<std::string>& args, std::string* listening)
{
    child_io io;
    io.out = to_pipe();
    auto sim = std::make_unique<child_process>(ZELSIM_PATH, args, io);
    if (!sim->started() || !sim->read_line(listening))
        return nullptr;
    return sim;
}

// An image of n bytes that holds both SLIP END and ESC bytes, and its copy padded
// with 0xFF to whole chunks (the last PROGRAM always carries a full chunk;
// 0xFF leaves the flash behind the image erased).
inline bytes make_image(size_t n)
{
    bytes image(n);
    for (size_t i = 0; i < n; ++i)
        image[i] = static_cast<uint8_t>(i * 7 + i / 256);
    image[0] = 0xC0;
    image[1] = 0xDB;
    image[n / 2] = 0xC0;
    image[n - 1] = 0xDB;
    return image;
}

inline bytes padded(const bytes& image)
{
    bytes copy = image;
    copy.resize((image.size() + CHUNK - 1) / CHUNK * CHUNK, 0xFF);
    return copy;
}

inline bytes read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::filesystem::path& path)
{
    bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

struct logged_command {
    std::string name;
    uint32_t param1;
    uint32_t param2;
    uint32_t data_length;
    std::string outcome;
    bool operator==(const logged_command&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const logged_command& c)
{
    return os << c.name << "(" << c.param1 << ", " << c.param2 << ") +" << c.data_length << " " << c.outcome;
}

// The report writes one command per line.
inline std::vector<logged_command> commands_in(const std::string& report)
{
    std::vector<logged_command> list;
    size_t at = 0;
    while ((at = report.find("{\"name\": \"", at)) != std::string::npos) {
        size_t end = report.find('\n', at);
        std::string line = report.substr(at, end - at);
        char name[16] = {};
        char outcome[24] = {};
        unsigned p1 = 0, p2 = 0, n = 0;
        double ms = 0;
        char answered[8] = {};
        int got = std::sscanf(line.c_str(),
                              "{\"name\": \"%15[^\"]\", \"param1\": %u, \"param2\": %u, \"data_length\": %u, "
                              "\"time_ms\": %lf, \"answered\": %7[a-z], \"outcome\": \"%23[^\"]\"",
                              name, &p1, &p2, &n, &ms, answered, outcome);
        if (got == 7)
            list.push_back(logged_command{name, p1, p2, n, outcome});
        at = end;
    }
    return list;
}

// The commands the device carried out, a repeated command counted once: a
// reply lost on the way makes the tool send the same command again.
inline std::vector<logged_command> carried_out(const std::vector<logged_command>& all)
{
    std::vector<logged_command> list;
    for (const logged_command& c : all)
        if (c.outcome == "answered" && (list.empty() || !(list.back() == c)))
            list.push_back(c);
    return list;
}

inline uint32_t le32(const bytes& b, size_t at)
{
    return get_le32(b.data() + at);
}

// ERASE; PROGRAM(0, 0); every chunk; the first chunk again; RTC_SET; RESET.
inline std::vector<logged_command> expected_sequence(uint32_t total, const bytes& record, uint32_t addr = 0)
{
    std::vector<logged_command> list = {{"ERASE", addr, addr + total, 0, "answered"},
                                        {"PROGRAM", 0, 0, 0, "answered"}};
    for (uint32_t a = addr; a < addr + total; a += CHUNK)
        list.push_back({"PROGRAM", a, a + CHUNK, CHUNK, "answered"});
    list.push_back({"PROGRAM", addr, addr + CHUNK, CHUNK, "answered"});
    list.push_back({"RTC_SET", le32(record, 0), le32(record, 4), 8, "answered"});
    list.push_back({"RESET", 0, 0, 0, "answered"});
    return list;
}

}  // namespace zelsim_harness
