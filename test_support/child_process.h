// A child process of a test (POSIX): a program with its arguments and
// environment, its standard streams where the test wants them, and its end
// waited for with a deadline. If the test leaves first, the child is
// killed and reaped. zelsim and zelflash both run as one
// (zelsim_harness.h, zelflash_harness.h).
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

// Where one standard stream of a child goes.
struct child_stream {
    enum kind_t { INHERIT, FILE, PIPE, CLOSED };
    kind_t kind = INHERIT;
    std::string path;  // FILE: created or truncated for output, read for input
};

inline child_stream to_file(std::string path)
{
    return child_stream{child_stream::FILE, std::move(path)};
}

inline child_stream to_pipe()
{
    return child_stream{child_stream::PIPE, ""};
}

inline child_stream closed_stream()
{
    return child_stream{child_stream::CLOSED, ""};
}

struct child_io {
    child_stream in;
    child_stream out;
    child_stream err;
    std::vector<std::string> env;  // "NAME=value", added to this process's or replacing its NAME
};

// How a child ended.
struct child_end {
    int status = -1;         // its exit status, 128 + the signal when one ended it; -1 when not reaped
    bool timed_out = false;  // killed at the deadline
    std::string out, err;    // what it wrote, where its streams went to files
    std::chrono::steady_clock::time_point ended{};
    double cpu_seconds = 0;  // its own
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

inline std::vector<char*> pointers_to(std::vector<std::string>& texts)
{
    std::vector<char*> list;
    for (std::string& t : texts)
        list.push_back(t.data());
    list.push_back(nullptr);
    return list;
}

inline std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class child_process {
public:
    // Starts `program` with `args`; started() says whether it did.
    child_process(const std::string& program, std::vector<std::string> args, child_io io = {}) : io_(std::move(io))
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipe_ends[2] = {-1, -1};
        if (io_.out.kind == child_stream::PIPE && pipe2(pipe_ends, O_CLOEXEC) != 0)
            io_.out.kind = child_stream::INHERIT;
        arrange(&actions, STDIN_FILENO, io_.in, O_RDONLY, pipe_ends);
        arrange(&actions, STDOUT_FILENO, io_.out, O_WRONLY | O_CREAT | O_TRUNC, pipe_ends);
        arrange(&actions, STDERR_FILENO, io_.err, O_WRONLY | O_CREAT | O_TRUNC, pipe_ends);
        args.insert(args.begin(), program);
        std::vector<std::string> env = environment_with(io_.env);
        std::vector<char*> argv = pointers_to(args), envp = pointers_to(env);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipe_ends[1] >= 0)
            ::close(pipe_ends[1]);
        output_ = pipe_ends[0];
    }
    ~child_process()
    {
        kill_now();
        if (output_ >= 0)
            ::close(output_);
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int number)
    {
        if (pid_ > 0)
            ::kill(pid_, number);
    }
    // Ends it at once (SIGKILL), as a device pulled off the line, and reaps it.
    void kill_now()
    {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // The next line of its piped standard output; false at its end, or when
    // none is complete within `limit`.
    bool read_line(std::string* line, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        line->clear();
        auto give_up = std::chrono::steady_clock::now() + limit;
        for (char c = 0; output_ >= 0;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
            pollfd p{output_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || ::read(output_, &c, 1) != 1)
                return false;
            if (c == '\n')
                return true;
            line->push_back(c);
        }
        return false;
    }

    // What it has written so far to its standard output file.
    std::string out() const { return text_of(io_.out); }

    // Waits for its end; past `limit` it is killed (status 128 + SIGKILL).
    child_end finish(std::chrono::milliseconds limit = std::chrono::minutes(1))
    {
        child_end r;
        int status = 0;
        rusage use{};
        auto give_up = std::chrono::steady_clock::now() + limit;
        pid_t got = 0;
        while (pid_ > 0 && (got = wait4(pid_, &status, WNOHANG, &use)) == 0) {
            if (std::chrono::steady_clock::now() > give_up && !r.timed_out)
                r.timed_out = ::kill(pid_, SIGKILL) == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polls the exit; ends the wait within 5 ms
        }
        if (got != pid_)
            return r;
        pid_ = -1;
        r.ended = std::chrono::steady_clock::now();
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.cpu_seconds = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                        static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
        r.out = text_of(io_.out);
        r.err = text_of(io_.err);
        return r;
    }

private:
    static void arrange(posix_spawn_file_actions_t* actions, int fd, const child_stream& s, int flags,
                        const int pipe_ends[2])
    {
        if (s.kind == child_stream::FILE)
            posix_spawn_file_actions_addopen(actions, fd, s.path.c_str(), flags, 0644);
        else if (s.kind == child_stream::CLOSED)
            posix_spawn_file_actions_addclose(actions, fd);
        else if (s.kind == child_stream::PIPE && fd == STDOUT_FILENO)
            posix_spawn_file_actions_adddup2(actions, pipe_ends[1], fd);  // the copy stays open; the ends close on exec
    }

    // Only a regular file: a terminal, a FIFO or a device is the test's to read.
    static std::string text_of(const child_stream& s)
    {
        std::error_code ec;
        return s.kind == child_stream::FILE && std::filesystem::is_regular_file(s.path, ec) ? file_text(s.path) : "";
    }

    child_io io_;
    pid_t pid_ = -1;
    int output_ = -1;  // the read end of a piped standard output
};
