// The console seam on POSIX systems.
#include "console.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static std::atomic<int> interrupts{0};

void console_fill_standard_descriptors()
{
    // open gives the lowest free number: going up from 0, that is the one
    // just found closed. Should /dev/null be missing, there is nothing better.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

bool console_is_terminal(FILE* stream)
{
    return isatty(fileno(stream)) == 1;
}

// A terminal that names no type, or "dumb" (an editor's shell buffer, some CI
// logs), shows cursor codes as litter.
bool console_enable_ansi(FILE* stream)
{
    const char* term = std::getenv("TERM");
    return console_is_terminal(stream) && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

console_size console_size_of(FILE* stream)
{
    console_size size;
    winsize w{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &w) == 0) {
        if (w.ws_col > 0)
            size.columns = w.ws_col;
        if (w.ws_row > 0)
            size.rows = w.ws_row;
    }
    return size;
}

// Only a lock-free atomic is touched here: nothing else is safe in a handler.
static void count_interrupt(int)
{
    interrupts.fetch_add(1);
}

void console_catch_interrupts()
{
    struct sigaction action{};
    action.sa_handler = count_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking wait or write returns early
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);  // the terminal went away: stop as for Ctrl-C
    // A reader that goes away (zelflash ... | head) must not end the process
    // before the ports are put back: writes to it just fail.
    std::signal(SIGPIPE, SIG_IGN);
}

int console_interrupts()
{
    return interrupts.load();
}

// The new thread inherits the mask in force when it is made: the interrupts
// are blocked only for that moment in the caller, and for good in the thread.
std::thread console_start_thread(std::function<void()> body)
{
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&blocked, s);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    std::thread t;
    try {
        t = std::thread(std::move(body));
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);  // Ctrl-C must still reach this thread
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return t;
}

static int ms_until(std::chrono::steady_clock::time_point t)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// After an interrupt: the file is non-blocking while the rest goes out, so
// that no write sleeps past the deadline, and poll() waits for room.
static bool write_by_deadline(int fd, std::string_view text, std::string* error)
{
    int flags = fcntl(fd, F_GETFL);
    bool blocking = flags != -1 && (flags & O_NONBLOCK) == 0;
    if (blocking)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(CONSOLE_GIVE_UP_MS);
    bool written = true;
    while (!text.empty()) {
        ssize_t k = ::write(fd, text.data(), text.size());
        if (k > 0) {
            text.remove_prefix(static_cast<size_t>(k));
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            *error = std::strerror(errno);
            written = false;
            break;
        }
        int left = ms_until(give_up);
        if (left == 0) {
            *error = "nothing took the output for " + std::to_string(CONSOLE_GIVE_UP_MS / 1000) +
                     " s after the interrupt, so the rest is dropped";
            written = false;
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, left);
    }
    if (blocking)
        fcntl(fd, F_SETFL, flags);  // a terminal shared with the shell stays as it was
    return written;
}

bool console_write(FILE* stream, std::string_view text, std::string* error)
{
    std::fflush(stream);  // whatever went through stdio first comes first
    int fd = fileno(stream);
    while (!text.empty()) {
        if (interrupts.load() > 0)
            return write_by_deadline(fd, text, error);
        ssize_t k = ::write(fd, text.data(), text.size());
        if (k < 0 && errno == EINTR)
            continue;  // an interrupt: the rest goes out by the deadline
        if (k <= 0) {
            *error = k < 0 ? std::strerror(errno) : "the file takes no more";
            return false;
        }
        text.remove_prefix(static_cast<size_t>(k));
    }
    return true;
}

int console_open_append(const std::string& path, std::string* error)
{
    // Read as well, for its last byte; a log one may only write is still a log.
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        *error = std::strerror(errno);
    return fd;
}

bool console_ends_torn(int fd)
{
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return false;
    char last = '\n';
    return pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

bool console_append(int fd, std::string_view text, std::string* error)
{
    struct stat st{};
    bool file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ssize_t k = -1;
    do
        k = ::write(fd, text.data(), text.size());
    while (k < 0 && errno == EINTR);  // nothing written: the line can still go whole
    if (k == static_cast<ssize_t>(text.size()))
        return true;
    if (k < 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (file && ftruncate(fd, st.st_size) != 0) {
        *error = "only " + std::to_string(k) + " of " + std::to_string(text.size()) +
                 " bytes written, and the part could not be cut off again: " + std::strerror(errno);
        return false;
    }
    *error = "only " + std::to_string(k) + " of " + std::to_string(text.size()) + " bytes written (is the disk full?)";
    return false;
}

bool console_sync(int fd, std::string* error)
{
    // EINVAL and EROFS: a special file that has no disk to sync to.
    if (fsync(fd) == 0 || errno == EINVAL || errno == EROFS)
        return true;
    *error = std::strerror(errno);
    return false;
}

bool console_close(int fd, std::string* error)
{
    // After EINTR the descriptor is gone on Linux; what was written is not in doubt.
    if (::close(fd) == 0 || errno == EINTR)
        return true;
    *error = std::strerror(errno);
    return false;
}

console_open_failure console_last_open_failure()
{
    switch (errno) {
    case EACCES:
    case EPERM: return OPEN_DENIED;
    case EBUSY:
    case EWOULDBLOCK: return OPEN_BUSY;  // flock() says so for a port another program locked
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return OPEN_ABSENT;
    default: return OPEN_FAILED;
    }
}

std::string console_last_error_text()
{
    return std::strerror(errno);
}

bool console_utc(std::time_t t, std::tm* out)
{
    return gmtime_r(&t, out) != nullptr;
}
