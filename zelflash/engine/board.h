// One port's programming run as zelflash sees it: the open port, the job on
// a thread of its own, and a snapshot of where it stands for the display.
//
// Life of a board: open() (port opened and configured, or an error text),
// or borrow() (a port that stays its owner's) ->
// start() (the job runs on its thread) -> finished (the port's settings put
// back and the port closed; a borrowed port stays open, its owner's) -> join(). A board that is opened but never
// started is closed by its destructor, settings put back likewise; a board
// destroyed while running (an error unwinding the main thread) is stopped
// after its exchange in flight first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "engine/board_end.h"
#include "values/fields.h"
#include "images/image.h"
#include "job.h"
#include "platform/port_error.h"
#include "port_owner.h"
#include "run.h"
#include "sink.h"

enum board_state : int32_t { BOARD_OPEN = 0, BOARD_RUNNING = 1, BOARD_FINISHED = 2 };

enum board_constants_public : int32_t {
    BOARD_LINE_OFF_MS = 60,  // a presence line off this long mid-run: the board has left
};

// How the boards of a run ended. The outcome rule: a board is done when
// board_programmed says so; else interrupted, not started, or failed (a
// port that did not open included).
struct board_tally {
    int done = 0;
    int failed = 0;
    int interrupted = 0;
    int not_started = 0;
};
void board_tally_add(board_tally* t, board_end end);

// What the display reads of a board: a copy taken under the board's lock.
struct board_view {
    std::string port;
    std::string serial;   // USB serial number, when known
    int32_t state = BOARD_OPEN;
    sink_progress at{};   // where the job stands
    double seconds = 0;   // since start(), or the whole run once finished
    board_end end = board_end_of(run_outcome::programmed);  // valid once finished
    run_result result{};  // valid once finished and the board ran (board_ran)
    std::string message;  // one line on a failure; empty after success
    // What the board was sent, set by the session once it ends: the values
    // patched into its copy of the image, and the SHA-256 of that copy and
    // of the image file it came from (empty for the embedded image).
    std::vector<field_value> values;
    std::string image_sha256;
    std::string file_sha256;
};

// What the boards tell the thread that displays them: which board changed.
// Waiting for news never spins: the waiter sleeps until a board reports or
// its time runs out.
class board_news {
public:
    void post(int board_index);
    // Waits up to `wait` for news and takes what has come (possibly nothing).
    std::deque<int> take(std::chrono::milliseconds wait);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<int> pending_;
};

class board {
public:
    // The port and the job reach the platform through `seams`.
    board(int index, std::string port, std::string serial, board_news* news, job_seams seams = job_seams{});
    ~board();
    board(const board&) = delete;
    board& operator=(const board&) = delete;

    // Opens the port exclusively and sets the line up for the protocol.
    // false with a one-line error text naming the port and what to do.
    bool open(uint32_t baud, std::string* error);
    // Runs on `port` instead, open and set up at `baud` by its owner (a
    // fixture's slot), which keeps it: the job leaves it open. With a
    // presence `line` (PORT_LINE_*), the line off for BOARD_LINE_OFF_MS
    // while the job runs ends it: the board has left.
    void borrow(const ser_port& port, uint32_t baud, uint32_t line = 0);
    // Runs the job for `img` on a thread of its own; the view as it starts,
    // taken before the thread can report anything. The image must stay
    // alive until join().
    board_view start(const image* img, const run_limits& limits);
    // Asks the job to stop after the exchange in flight.
    void stop() { stop_.store(true); }
    void join();

    board_view view() const;
    const std::string& port() const { return port_; }

private:
    static void on_progress(void* ctx, const sink_progress* p);
    static int on_cancelled(void* ctx);
    bool board_gone();
    void work(const image* img, run_limits limits);
    run_result run(const image* img, const run_limits& limits);
    void end(const run_result& r, board_end how, std::string message);
    void broke(const std::string& what);
    double elapsed() const;

    int index_;
    std::string port_;
    std::string serial_;
    board_news* news_;
    job_seams seams_;
    port_owner owner_;  // the open port, until run() hands it to the job
    ser_port lent_{};   // the port borrowed instead, when lent_.handle is set
    uint32_t line_ = 0; // the borrowed port's presence line, if any
    std::chrono::steady_clock::time_point line_off_{};  // since when it is off; epoch: on
    std::atomic<bool> left_{false};  // the presence line went off: the board left
    uint32_t baud_ = 0;
    sink sink_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::chrono::steady_clock::time_point started_{};

    mutable std::mutex lock_;  // guards the members below
    int32_t state_ = BOARD_OPEN;
    sink_progress at_{};
    double seconds_ = 0;
    board_end end_ = board_end_of(run_outcome::programmed);
    run_result result_{};
    std::string message_;
};

// The view of a board that never ran: its port did not open
// (board_end::not_opened) or its turn never came (board_end::not_started);
// `total` is the image's size.
board_view board_unstarted(const std::string& port, const std::string& serial, board_end end, std::string message,
                           uint32_t total);
// True when the board's job ran and its result holds the link's figures.
bool board_ran(const board_view& v);
// Whether a chunk holding any byte of the device addresses [at, at + size)
// may have reached the board's flash: acknowledged, or sent and not yet
// answered (a lost answer leaves it written all the same). false only for
// a board that never ran, or stopped before such a chunk went out.
bool board_may_hold(const board_view& v, uint32_t at, uint32_t size);

// The error of a port that did not open: the system's text and the hint
// that fits the cause.
std::string board_open_error(const std::string& port, const std::string& system_text, port_open_failure why);

// The link's health in a few words ("2 late replies (the latest 310 ms), 1
// bad frame, 1 quiet wait (1890 ms)"); empty when nothing went amiss.
std::string board_link_text(const run_result& r);

// The link's health figures of a finished run, for the JSON done event and
// the board log: frames, resends, late replies, bad frames, quiet waits;
// null for a board that never ran.
// The values a board was given, {"serial": "1017", ...}: an object, empty
// when it was given none.
nlohmann::json board_values_json(const board_view& v);
nlohmann::json board_link_json(const board_view& v);

// The one-line text of a run's end, naming the port, the command, its
// address and the attempts where the run failed.
std::string board_outcome_text(const std::string& port, const run_result& r, const run_limits& limits,
                               uint32_t image_addr);
