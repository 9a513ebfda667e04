// Test support shared by the end-to-end tests of the zelflash executable:
// a zelflash child process, and a bench of zelsim devices on ptys linked
// into a scratch folder. Each test target defines ZELSIM_PATH and
// ZELFLASH_PATH, the two executables.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <tuple>

#include "zelsim_harness.h"

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

// Where a zelflash child's standard output and error go, when not to the
// files "out" and "err" of the test's folder (a terminal, a FIFO,
// /dev/full), and what its environment adds or replaces ("TERM=dumb").
struct child_io {
    std::string out;
    std::string err;
    std::vector<std::string> env;
};

// The environment of this process with `changes` ("NAME=value") in force.
inline std::vector<std::string> environment_with(const std::vector<std::string>& changes)
{
    std::vector<std::string> all;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = std::any_of(changes.begin(), changes.end(),
                                    [&](const std::string& c) { return c.rfind(name, 0) == 0; });
        if (!replaced)
            all.push_back(entry);
    }
    all.insert(all.end(), changes.begin(), changes.end());
    return all;
}

// A zelflash child, its standard output and error in files of `dir`, or
// where `io` says.
class zelflash_process {
public:
    zelflash_process(std::vector<std::string> args, const fs::path& dir, const child_io& io = {})
        : out_(io.out.empty() ? dir / "out" : fs::path(io.out)), err_(io.err.empty() ? dir / "err" : fs::path(io.err))
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        args.insert(args.begin(), ZELFLASH_PATH);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = environment_with(io.env);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, ZELFLASH_PATH, &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
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

    // What it has printed so far (only from a file: a terminal or a device
    // is the test's to read).
    std::string out() const { return text_of(out_); }

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
        r.out = text_of(out_);
        r.err = text_of(err_);
        return r;
    }

private:
    static std::string text_of(const fs::path& path)
    {
        std::error_code ec;
        return fs::is_regular_file(path, ec) ? read_text(path) : "";
    }

    pid_t pid_ = -1;
    fs::path out_, err_;
};

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
