// The interrupts on POSIX systems: signals, counted by their handler.
#include "platform/interrupts.h"

#include <atomic>
#include <csignal>

#include <pthread.h>

static std::atomic<int> interrupts{0};

// Only a lock-free atomic is touched here: nothing else is safe in a handler.
static void count_interrupt(int)
{
    interrupts.fetch_add(1);
}

void interrupts_catch()
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

int interrupts_count()
{
    return interrupts.load();
}

// The new thread inherits the mask in force when it is made: the interrupts
// are blocked only for that moment in the caller, and for good in the thread.
std::thread interrupts_start_thread(std::function<void()> body)
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
