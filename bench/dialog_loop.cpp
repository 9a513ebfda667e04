// dialog_loop: what the dialog program does once "Program" is pressed, on a
// POSIX host and without a window, so that scripts/bench can time the
// dialog's way of programming next to zelflash's.
//
//   dialog_loop [--bare-pacing] PORT [BAUD]
//
// The job is filled in as the dialog fills it (chunk 256, address 0, the
// 10 ms drain after each frame, console texts on standard output), opened
// with zel_open, then polled once per tick of a 5 ms periodic timer until
// zel_poll reports the job done. The timer behaves as the window's timer
// does: its ticks fall on fixed 5 ms boundaries counted from the start, a
// tick comes only after the poll before it has returned, and a poll that
// overruns a boundary simply gets the next one (ticks do not pile up).
// Exit status 0 once the job is done; a port that will not open ends the
// program through zel_fatal with status 1, as in the dialog.
//
// --bare-pacing starts the job without the acknowledgement guard, so that
// each poll is the bare design's (one frame down, one reply up, every tick):
// the pacing the dialog is measured against. It is not safe on a faulty line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <cstring>

#include "zel.h"

enum dialog_constants : int32_t {
    POLL_NS = 5'000'000,  // period of the dialog's poll timer
    LINE_SPEED = 115200,  // the dialog's speed; the bench also runs faster lines
    CHUNK_SIZE = 256,
    BASE_ADDRESS = 0,     // the job moves small images elsewhere
};

static constexpr int64_t NS_PER_S = 1'000'000'000;

static int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * NS_PER_S + ts.tv_nsec;
}

static void sleep_until(int64_t when_ns)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(when_ns / NS_PER_S);
    ts.tv_nsec = static_cast<long>(when_ns % NS_PER_S);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The first timer boundary strictly after `now`.
static int64_t next_tick(int64_t origin, int64_t now)
{
    int64_t ticks = (now - origin) / POLL_NS + 1;
    return origin + ticks * POLL_NS;
}

int main(int argc, char** argv)
{
    bool bare = argc > 1 && std::strcmp(argv[1], "--bare-pacing") == 0;
    if (bare) {
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: dialog_loop [--bare-pacing] PORT [BAUD]\n");
        return 2;
    }
    long baud = LINE_SPEED;
    if (argc == 3) {
        char* end = nullptr;
        baud = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || baud <= 0) {
            std::fprintf(stderr, "dialog_loop: bad baud rate %s\n", argv[2]);
            return 2;
        }
    }

    job_config request;
    request.port = argv[1];
    request.baud = static_cast<int32_t>(baud);
    request.chunk = CHUNK_SIZE;
    request.addr = BASE_ADDRESS;
    request.unguarded = bare ? 1 : 0;
    zel_open(&zel_job, request);

    // SetTimer is armed right after zel_open; its first tick is one period on.
    int64_t origin = now_ns();
    int64_t tick = origin + POLL_NS;
    for (;;) {
        sleep_until(tick);
        if (zel_poll(zel_job))
            return 0;
        tick = next_tick(origin, now_ns());
    }
}
