#include "line.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads up to n bytes, waiting at most 1 s for them all.
std::string read_some(int fd, size_t n)
{
    std::string got;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        char buf[64];
        ssize_t k = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k <= 0)
            break;
        got.append(buf, static_cast<size_t>(k));
    }
    return got;
}

// The tool's end, opened as a port would be.
unique_fd open_tool_end(const std::string& path)
{
    unique_fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY));
    return fd;
}

TEST(Line, ToolEndOpensClosesAndReopensThroughTheLink)
{
    temp_dir dir;
    std::string link = (dir.path / "com3").string();
    line l;
    std::string error;
    ASSERT_TRUE(line_open_pty(&l, link, &error)) << error;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), l.slave_path);
    EXPECT_EQ(line_describe(&l), "zelsim: listening on " + l.slave_path + " (link " + link + ")");

    for (int round = 0; round < 3; ++round) {
        unique_fd tool = open_tool_end(link);
        ASSERT_GE(tool.get(), 0) << "round " << round;
        std::string to_device = "\xC0ping" + std::to_string(round) + "\xC0";
        ASSERT_EQ(::write(tool.get(), to_device.data(), to_device.size()), static_cast<ssize_t>(to_device.size()));
        EXPECT_EQ(read_some(l.io.get(), to_device.size()), to_device) << "round " << round;
        std::string to_tool = "\xC0pong\xDB\xDC\x00\xC0";
        to_tool.push_back('\x0A');  // no translation on the way: raw
        ASSERT_EQ(::write(l.io.get(), to_tool.data(), to_tool.size()), static_cast<ssize_t>(to_tool.size()));
        EXPECT_EQ(read_some(tool.get(), to_tool.size()), to_tool) << "round " << round;
    }
    // No echo: nothing the tool wrote comes back to the tool.
    unique_fd tool = open_tool_end(link);
    ASSERT_EQ(::write(tool.get(), "x", 1), 1);
    EXPECT_EQ(read_some(l.io.get(), 1), "x");
    pollfd p{tool.get(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0);

    line_close(&l);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(Line, SlaveIsRaw)
{
    line l;
    std::string error;
    ASSERT_TRUE(line_open_pty(&l, "", &error)) << error;
    termios tio{};
    ASSERT_EQ(tcgetattr(l.held_slave.get(), &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    line_close(&l);
}

TEST(Line, AStaleLinkIsReplacedAFileIsNot)
{
    temp_dir dir;
    std::string link = (dir.path / "port").string();
    std::filesystem::create_symlink("/nonexistent", link);
    line l;
    std::string error;
    ASSERT_TRUE(line_open_pty(&l, link, &error)) << error;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), l.slave_path);
    line_close(&l);

    std::string file = (dir.path / "file").string();
    { std::FILE* f = std::fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
    line other;
    EXPECT_FALSE(line_open_pty(&other, file, &error));
    EXPECT_NE(error.find("not a symlink"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

TEST(Line, MissingDeviceFails)
{
    line l;
    std::string error;
    EXPECT_FALSE(line_open_device(&l, "/nonexistent/ttyS99", 115200, &error));
    EXPECT_NE(error.find("/nonexistent/ttyS99"), std::string::npos);
}

}  // namespace
