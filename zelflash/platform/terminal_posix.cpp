// The standard streams on POSIX systems.
#include "platform/terminal.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/interrupts.h"

void terminal_fill_standard_streams()
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

bool terminal_is(FILE* stream)
{
    return isatty(fileno(stream)) == 1;
}

// A terminal that names no type, or "dumb" (an editor's shell buffer, some CI
// logs), shows cursor codes as litter.
bool terminal_enable_ansi(FILE* stream)
{
    const char* term = std::getenv("TERM");
    return terminal_is(stream) && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

terminal_size terminal_size_of(FILE* stream)
{
    terminal_size size;
    winsize w{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &w) == 0) {
        if (w.ws_col > 0)
            size.columns = w.ws_col;
        if (w.ws_row > 0)
            size.rows = w.ws_row;
    }
    return size;
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
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(TERMINAL_GIVE_UP_MS);
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
            *error = "nothing took the output for " + std::to_string(TERMINAL_GIVE_UP_MS / 1000) +
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

bool terminal_write(FILE* stream, std::string_view text, std::string* error)
{
    std::fflush(stream);  // whatever went through stdio first comes first
    int fd = fileno(stream);
    while (!text.empty()) {
        if (interrupts_count() > 0)
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

struct terminal_echo_off::saved {
    termios settings;
};

terminal_echo_off::terminal_echo_off()
{
    termios now{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &now) != 0)
        return;
    saved_ = std::make_unique<saved>(saved{now});
    now.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &now) != 0)
        saved_.reset();
}

terminal_echo_off::~terminal_echo_off()
{
    if (saved_)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_->settings);
}
