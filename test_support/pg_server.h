// A private PostgreSQL server for a test (POSIX): `initdb` into a fresh
// scratch folder, the server listening on a unix socket in that folder only
// (no TCP port, so tests and other builds side by side never meet), trust
// authentication for its one role, fsync off. Run as root (as in CI) the
// server programs run as the system user `zeltest` (scripts/setup makes it),
// since PostgreSQL refuses root.
//
// The server goes with the object: stopped (immediate) and its folder
// removed. If the test process is killed instead, a watchdog does the same:
// a shell started beside the server that waits for the end of a pipe only
// this process holds, then stops the server and removes the folder.
// Anything still left is a process of the test run that
// scripts/leftover_processes names and ends.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string>
#include <vector>

#include "child_process.h"

class pg_server {
public:
    static constexpr const char* owner = "zel_owner";  // the superuser role initdb makes

    // The folder of PostgreSQL's server programs (Debian's
    // /usr/lib/postgresql/N/bin, the newest), or nullopt when not installed.
    static std::optional<std::filesystem::path> programs()
    {
        std::optional<std::filesystem::path> best;
        std::error_code ec;
        for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            std::filesystem::path bin = version.path() / "bin";
            bool whole = std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "pg_ctl");
            if (whole && (!best || bin.string() > best->string()))
                best = bin;
        }
        return best;
    }

    // Makes and starts the server; ready() says whether it runs, error() why not.
    pg_server()
    {
        std::optional<std::filesystem::path> bin = programs();
        if (!bin) {
            error_ = "no PostgreSQL server programs under /usr/lib/postgresql/*/bin";
            return;
        }
        bin_ = *bin;
        std::string pattern = "/tmp/zelpg-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            error_ = "cannot make a scratch folder under /tmp";
            return;
        }
        folder_ = pattern;
        ready_ = hand_to_server_user() && initialise() && watch() && start();
    }
    ~pg_server()
    {
        if (running_)
            stop("immediate");
        if (watchdog_pipe_ >= 0)
            ::close(watchdog_pipe_);  // the watchdog finds the folder and removes it
        if (watchdog_ > 0)
            waitpid(watchdog_, nullptr, 0);
        else if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }
    pg_server(const pg_server&) = delete;
    pg_server& operator=(const pg_server&) = delete;

    bool ready() const { return ready_; }
    const std::string& error() const { return error_; }
    const std::filesystem::path& folder() const { return folder_; }

    // The connection string of database `name` on this server, as its owner.
    std::string conninfo(const std::string& name) const
    {
        return "host=" + folder_.string() + " port=5432 user=" + owner + " dbname=" + name;
    }

    // psql's unaligned output of `sql` run in database `name`; nullopt when it failed.
    std::optional<std::string> psql(const std::string& name, const std::string& sql) const
    {
        child_end end = run({(bin_ / "psql").string(), "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-d",
                             conninfo(name), "-c", sql},
                            false);
        if (end.status != 0)
            return std::nullopt;
        return end.out;
    }
    bool create_database(const std::string& name) const
    {
        return psql("postgres", "CREATE DATABASE \"" + name + "\"").has_value();
    }

    // pg_ctl stop -m `mode` (smart, fast or immediate), waiting for the end.
    bool stop(const std::string& mode)
    {
        child_end end = run({(bin_ / "pg_ctl").string(), "-D", data(), "-m", mode, "-w", "stop"}, true);
        running_ = running_ && end.status != 0;
        return end.status == 0;
    }
    // Starts it again (after stop), waiting until it takes connections.
    bool start()
    {
        child_end end = run({(bin_ / "pg_ctl").string(), "-D", data(), "-l", (folder_ / "server.log").string(), "-w",
                             "-t", "120", "start"},
                            true);
        running_ = end.status == 0;
        if (!running_)
            error_ = "pg_ctl start failed: " + end.err + end.out + file_text((folder_ / "server.log").string());
        return running_;
    }

private:
    std::string data() const { return (folder_ / "data").string(); }
    static bool as_root() { return geteuid() == 0; }

    // A server program as the server's user; a client as this process.
    child_end run(std::vector<std::string> args, bool server) const
    {
        if (server && as_root())
            args.insert(args.begin(), {"/usr/sbin/runuser", "-u", "zeltest", "--"});
        std::string program = args.front();
        args.erase(args.begin());
        child_io io;
        io.in = to_file("/dev/null");
        io.out = to_file((folder_ / "command.out").string());
        io.err = to_file((folder_ / "command.err").string());
        child_process child(program, args, io);
        return child.finish(std::chrono::minutes(3));
    }

    bool hand_to_server_user()
    {
        if (!as_root())
            return true;
        passwd* user = getpwnam("zeltest");
        if (user == nullptr || chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
            error_ = "running as root, and no system user zeltest to run PostgreSQL as (scripts/setup makes it)";
            return false;
        }
        return true;
    }

    bool initialise()
    {
        child_end end = run({(bin_ / "initdb").string(), "-D", data(), "-U", owner, "-A", "trust", "-E", "UTF8",
                             "--locale=C", "--no-sync"},
                            true);
        if (end.status != 0) {
            error_ = "initdb failed: " + end.err;
            return false;
        }
        std::ofstream conf(data() + "/postgresql.conf", std::ios::app);
        conf << "listen_addresses = ''\nunix_socket_directories = '" << folder_.string()
             << "'\nport = 5432\nfsync = off\nsynchronous_commit = off\nfull_page_writes = off\n";
        return static_cast<bool>(conf);
    }

    // The watchdog: reads its standard input, a pipe whose only writing end
    // this process holds (close-on-exec, so no other child inherits it), and
    // at its end stops the server and removes the folder.
    bool watch()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        std::string stop_command = (as_root() ? "/usr/sbin/runuser -u zeltest -- " : "") +
                                   ("'" + (bin_ / "pg_ctl").string() + "' -D '" + data() + "' -m immediate stop");
        std::string script = "cat >/dev/null; " + stop_command + " >/dev/null 2>&1; rm -rf '" + folder_.string() + "'";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {"/bin/sh", "-c", script};
        std::vector<char*> argv = pointers_to(args);
        int spawned = posix_spawn(&watchdog_, "/bin/sh", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[0]);
        watchdog_pipe_ = ends[1];
        if (spawned != 0)
            watchdog_ = -1;
        return spawned == 0;
    }

    std::filesystem::path bin_, folder_;
    std::string error_;
    bool ready_ = false, running_ = false;
    pid_t watchdog_ = -1;
    int watchdog_pipe_ = -1;
};
