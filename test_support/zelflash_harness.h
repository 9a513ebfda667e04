// Test support shared by the end-to-end tests of the zelflash executable:
// zelflash as a child_process, a terminal to run it on, and a bench of
// zelsim devices on ptys linked into a scratch folder. Each test target
// defines ZELSIM_PATH and ZELFLASH_PATH, the two executables.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <termios.h>
#include <tuple>

#include "zelsim_harness.h"

namespace zelflash_harness {

using namespace zelsim_harness;
namespace fs = std::filesystem;
using json = nlohmann::json;
using steady = std::chrono::steady_clock;

// The streams of a zelflash child: standard output and error to the files
// "out" and "err" of `dir`, unless `io` says otherwise.
inline child_io zelflash_io(const fs::path& dir, child_io io = {})
{
    if (io.out.kind == child_stream::INHERIT)
        io.out = to_file((dir / "out").string());
    if (io.err.kind == child_stream::INHERIT)
        io.err = to_file((dir / "err").string());
    return io;
}

inline child_process start_zelflash(const std::vector<std::string>& args, const fs::path& dir, child_io io = {})
{
    return child_process(ZELFLASH_PATH, args, zelflash_io(dir, std::move(io)));
}

// Standard output to `path` (a device, a FIFO); standard error to the file.
inline child_io output_to(const std::string& path)
{
    child_io io;
    io.out = to_file(path);
    return io;
}

// Both streams on the terminal at `path`, with `env` in force.
inline child_io on_terminal(const std::string& path, std::vector<std::string> env)
{
    child_io io;
    io.out = to_file(path);
    io.err = to_file(path);
    io.env = std::move(env);
    return io;
}

// A pseudo-terminal standing in for the user's: zelflash writes to its
// slave side, and the test reads what reached the screen from the master
// side. Output is left as written (no carriage return added to each line
// end), so that the test sees zelflash's own bytes.
class terminal {
public:
    terminal(unsigned short columns, unsigned short rows)
    {
        master_ = unique_fd(posix_openpt(O_RDWR | O_NOCTTY));
        EXPECT_GE(master_.get(), 0) << "no pseudo-terminal";
        if (master_.get() < 0 || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0)
            return;
        path_ = ptsname(master_.get());
        // Held open, so that the screen side never reads an end while
        // zelflash is between opens of it.
        slave_ = unique_fd(::open(path_.c_str(), O_RDWR | O_NOCTTY));
        termios t{};
        tcgetattr(slave_.get(), &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(slave_.get(), TCSANOW, &t);
        resize(columns, rows);
    }

    const std::string& path() const { return path_; }
    void resize(unsigned short columns, unsigned short rows)
    {
        winsize w{};
        w.ws_col = columns;
        w.ws_row = rows;
        ioctl(master_.get(), TIOCSWINSZ, &w);
    }

    // Reads the screen side until done(all read so far) holds; false after `limit`.
    template <class F>
    bool read_until(F done, std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        steady::time_point end = steady::now() + limit;
        while (!done(text)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now()).count();
            if (left <= 0)
                return false;
            pollfd p{master_.get(), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0)
                continue;
            char buffer[4096];
            ssize_t k = ::read(master_.get(), buffer, sizeof buffer);
            if (k > 0)
                text.append(buffer, static_cast<size_t>(k));
        }
        return true;
    }

    // Types `keys` as the user would.
    bool type(const std::string& keys) { return ::write(master_.get(), keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()); }

    std::string text;  // everything read from the screen side so far

private:
    unique_fd master_;
    unique_fd slave_;
    std::string path_;
};

inline void write_file(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Waits until done() holds; false after `limit`.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    for (steady::time_point end = steady::now() + limit; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (steady::now() > end)
            return false;
    return true;
}

// True once `text` is in what `p` has written to its output file, within
// `limit`.
inline bool printed(const child_process& p, const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    return eventually([&] { return p.out().find(text) != std::string::npos; }, limit);
}

// The line settings of the pty behind `port`. With `distinctive` they are
// first set to what no protocol run leaves: 9600 baud, canonical input with
// echo, translation both ways.
inline void line_settings(const std::string& port, termios* t, bool distinctive)
{
    unique_fd fd(::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(fd.get(), 0) << port;
    ASSERT_EQ(tcgetattr(fd.get(), t), 0);
    if (!distinctive)
        return;
    cfsetspeed(t, B9600);
    t->c_lflag |= ICANON | ECHO;
    t->c_iflag |= ICRNL;
    t->c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(fd.get(), TCSANOW, t), 0);
    ASSERT_EQ(tcgetattr(fd.get(), t), 0);
}

// Control, input, output and local modes, input and output speed.
inline auto settings_key(const termios& t)
{
    return std::tuple(t.c_cflag, t.c_iflag, t.c_oflag, t.c_lflag, cfgetispeed(&t), cfgetospeed(&t));
}

// A scratch folder with an image file and zelsim devices linked in it as
// dev0, dev1, ...; device i reports to report<i> and dumps its flash to flash<i>.
struct bench : testing::Test {
    temp_dir dir{"zelflash-test"};
    fs::path image_path = dir.path / "image.bin";
    std::vector<std::unique_ptr<child_process>> sims;

    std::string port(size_t i) const { return (dir.path / ("dev" + std::to_string(i))).string(); }
    fs::path file(const char* what, size_t i) const { return dir.path / (what + std::to_string(i)); }

    void write_image(size_t n)
    {
        bytes b = make_image(n);
        write_file(image_path, std::string(b.begin(), b.end()));
    }

    // Starts device number sims.size() on `link`, port(that number) when
    // empty; its report says whether it ends up holding the image file, when
    // there is one.
    void start_device(std::vector<std::string> extra = {}, std::string link = "")
    {
        size_t i = sims.size();
        std::vector<std::string> args = {"--link", link.empty() ? port(i) : link, "--report", file("report", i),
                                         "--flash-dump", file("flash", i), "--time-limit-s", "60"};
        if (fs::exists(image_path))
            extra.insert(extra.end(), {"--image", image_path});
        args.insert(args.end(), extra.begin(), extra.end());
        std::string listening;
        sims.push_back(start_zelsim(args, &listening));
        ASSERT_TRUE(sims.back()) << "zelsim did not start";
    }

    // Ends device i (programmed or not) and reads its report.
    json device_report(size_t i)
    {
        sims[i]->signal(SIGTERM);
        EXPECT_FALSE(sims[i]->finish(std::chrono::seconds(10)).timed_out) << "zelsim " << i << " did not end";
        return json::parse(read_text(file("report", i)), nullptr, false);
    }

    child_end zelflash(const std::vector<std::string>& args) { return start_zelflash(args, dir.path).finish(); }
};

}  // namespace zelflash_harness
