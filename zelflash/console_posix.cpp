// The console seam on POSIX systems.
#include "console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
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

bool console_enable_ansi(FILE* stream)
{
    return console_is_terminal(stream);
}

int console_width(FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
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
    action.sa_flags = 0;  // no SA_RESTART: a blocking wait returns early
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

std::string console_last_error_text()
{
    return std::strerror(errno);
}

bool console_utc(std::time_t t, std::tm* out)
{
    return gmtime_r(&t, out) != nullptr;
}

void console_sync(FILE* stream)
{
    std::fflush(stream);
    fsync(fileno(stream));
}
