// Test support shared by the end-to-end tests of the zelflash executable:
// a zelflash child process, and a bench of zelsim devices on ptys linked
// into a scratch folder. Each test target defines ZELSIM_PATH and
// ZELFLASH_PATH, the two executables.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <termios.h>
#include <tuple>

#include "../sim/harness.h"

namespace zelflash_harness {

using namespace zelsim_harness;
namespace fs = std::filesystem;
using json = nlohmann::json;
using steady = std::chrono::steady_clock;

struct flash_run {
    int status = -1;  // 128 + the signal when killed by one
    std::string out, err;
    steady::time_point ended;
    double cpu_seconds = 0;  // the child's own
};

// A zelflash child, its standard output and error in files of `dir`.
class zelflash_process {
public:
    zelflash_process(std::vector<std::string> args, const fs::path& dir) : out_(dir / "out"), err_(dir / "err")
    {
        posix_spawn_file_actions_t io;
        posix_spawn_file_actions_init(&io);
        posix_spawn_file_actions_addopen(&io, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&io, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        args.insert(args.begin(), ZELFLASH_PATH);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, ZELFLASH_PATH, &io, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&io);
        EXPECT_GT(pid_, 0) << "zelflash did not start";
    }
    ~zelflash_process()
    {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    zelflash_process(const zelflash_process&) = delete;
    zelflash_process& operator=(const zelflash_process&) = delete;

    void signal(int number) { ::kill(pid_, number); }

    // What it has printed so far.
    std::string out() const { return read_text(out_); }

    // Waits for the end; past `limit` the child is killed (status 128 + SIGKILL).
    flash_run finish(std::chrono::milliseconds limit = std::chrono::minutes(1))
    {
        flash_run r;
        int status = 0;
        rusage use{};
        steady::time_point give_up = steady::now() + limit;
        pid_t got = 0;
        while (pid_ > 0 && (got = wait4(pid_, &status, WNOHANG, &use)) == 0) {
            if (steady::now() > give_up)
                ::kill(pid_, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (got != pid_)
            return r;
        pid_ = -1;
        r.ended = steady::now();
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.cpu_seconds = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                        static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
        r.out = read_text(out_);
        r.err = read_text(err_);
        return r;
    }

private:
    pid_t pid_ = -1;
    fs::path out_, err_;
};

inline void write_file(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
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
    std::vector<std::unique_ptr<zelsim_process>> sims;

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
        sims.push_back(std::make_unique<zelsim_process>());
        std::string listening;
        ASSERT_TRUE(sims.back()->start(args, &listening)) << "zelsim did not start";
    }

    // Ends device i (programmed or not) and reads its report.
    json device_report(size_t i)
    {
        int status = 0;
        sims[i]->terminate();
        EXPECT_TRUE(sims[i]->wait_exit(10000, &status)) << "zelsim " << i << " did not end";
        return json::parse(read_text(file("report", i)), nullptr, false);
    }

    flash_run zelflash(const std::vector<std::string>& args) { return zelflash_process(args, dir.path).finish(); }
};

}  // namespace zelflash_harness
