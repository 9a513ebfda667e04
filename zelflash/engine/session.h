// One run of zelflash over boards, each on a port of its own: which boards
// wait for their turn, which run, how they ended and what that makes of
// the exit status, and what the interrupts do. write queues all its ports
// at the start; watch's scanner queues ports as they appear. The boards run
// on threads of their own; everything here runs on the displaying (main)
// thread.
//
// Life of a board in a session (its slot's state):
//
//   queue() -> SLOT_QUEUED --start_queued()-----------------> SLOT_RUNNING
//                  |  |  \--its port does not open: "not opened"     |
//                  |  \--stop_taking(), halt(): "not started"        | its job ends
//                  |     (queued after them: "not started" at once)  v
//                  |                                            SLOT_ENDED
//                  \--withdraw(): its port went away first: dropped, never counted
//
// Every board that reaches SLOT_ENDED is counted once (board_tally), handed
// to the ended() hook once, then told once to every listener
// (session_listener::board_ended); it is then dropped, unless the rules keep
// ended boards among the rows. What the session does is told to its
// listeners alone: it knows neither the display nor the board log.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/board.h"
#include "images/image.h"
#include "platform/ports.h"
#include "run.h"
#include "engine/session_listener.h"

// What the code that runs a session adds at the two moments a board changes
// hands, for per-board work such as serial numbers. Unlike a listener, a
// hook decides: it may refuse a board, and its end comes first. Both
// are called on the displaying thread, between the boards' threads' work.
class session_hooks {
public:
    virtual ~session_hooks() = default;
    // Just before board `b` starts: its port is open and configured, nothing
    // has been sent to it, and `copy` is its own copy of the image, which
    // only it is sent. The place to reserve what belongs to this board alone
    // and patch it into `copy`, saying in `values` what was patched in (the
    // board's view carries them to the ended() hook and the listeners).
    // false with a one-line `why` refuses the board:
    // the session halts (no new boards are taken, the running ones finish),
    // and this board and every waiting one end "not started".
    virtual bool starting(const session_board& b, image* copy, std::vector<field_value>* values, std::string* why);
    // Once for every board that ends, programmed or not, ran or not, with
    // its final view: the place to record its outcome. false with a one-line
    // `why` when it cannot be recorded: the session halts.
    virtual bool ended(const session_board& b, const board_view& v, std::string* why);
    // Whether the next waiting board may start now (of `waiting` boards):
    // false keeps them all waiting, nothing refused, until the hook's owner
    // calls session::nudge() (the values for a board are on their way).
    virtual bool can_start(size_t waiting);
};

struct session_rules {
    job_seams seams;  // the platform the boards' ports and jobs reach
    uint32_t baud = 115200;
    run_limits limits{10, 60000};
    uint32_t jobs = UINT32_MAX;  // boards running at once
    // The first interrupt stops the taking of new boards; this one stops the
    // running boards after their exchange in flight (write: 1, watch: 2).
    int interrupts_to_stop = 1;
    bool keep_ended = false;     // ended boards stay among the rows (write shows them to the end)
    // A port that has just appeared may not open for a moment, while udev
    // makes its node, sets its group and adds its links (ENOENT, EACCES,
    // EBUSY). A board whose port does not open is tried again, every
    // SESSION_OPEN_RETRY_MS or as the loop comes round, until this long after
    // it was queued; only then does it end "not opened" (watch: 1 s; write,
    // whose ports are named, 0).
    std::chrono::milliseconds open_grace{0};
    std::string unstarted_hint;  // what to do with a board whose turn never came
    uint32_t presence_line = 0;  // a fixture's presence line (PORT_LINE_*), watched while its boards run
};

enum session_constants : int32_t {
    SESSION_OPEN_RETRY_MS = 50,  // between two opens of a port in its grace
};

enum slot_state : int32_t {
    SLOT_QUEUED = 0,   // waiting for its turn (write: its port already open)
    SLOT_RUNNING = 1,  // its job runs on its thread
    SLOT_ENDED = 2,    // counted, shown and handed to the ended() hook
};

class session {
public:
    // `img` and `hooks` (none when null) must outlive the session.
    session(const session_rules& rules, const image& img, session_hooks* hooks);
    // Running boards stop after their exchange in flight; every port is put back.
    ~session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    // A board for `port` at the end of the queue; its id. Once the session
    // takes no more boards, it ends "not started" at once.
    int queue(const port_info& port);
    // A board for fixture slot `slot` (from 1), on `lent`, a port that
    // stays its slot's: open and set up, and left open when the board ends.
    int queue_lent(const port_info& port, const ser_port& lent, int slot);
    // Ends a wait in take_news(): for other threads with news of their own.
    void nudge() { news_.post(-1); }
    // The port of board `id` went away: a board still waiting leaves the
    // queue uncounted; one that started runs on to its end.
    void withdraw(int id);
    // Opens the port of every waiting board, in order, before any starts;
    // false after the first that does not open (which ends "not opened").
    bool open_queued();
    // Starts waiting boards in order while the session takes boards and
    // fewer than `jobs` run; a port not yet opened is opened first, and one
    // that does not open ends "not opened".
    void start_queued();
    // `l` hears every event from now on, after those that subscribed
    // before it; it must outlive the session.
    void subscribe(session_listener* l) { listeners_.push_back(l); }

    // Interrupts since the last look: the listeners hear of them, then the
    // taking of boards or the running boards stop (session_rules).
    void look_at_interrupts();
    // Waits up to `wait` for the boards' news and shows it; boards whose
    // job has ended end here.
    void take_news(std::chrono::milliseconds wait);
    // Repaints the rows: the running boards (and the ended ones, where kept).
    void redraw(const std::string& footer = "");
    // The station looks for boards on `what`: the listeners hear of it.
    void watching(const std::string& what);
    // A fixture's slot changed, and its slots as they stand: the listeners
    // hear of them.
    void slot_changed(const slot_view& v);
    void show_slots(const std::vector<slot_view>& all, const std::string& footer);
    // The tally as the station stops: the listeners hear of it.
    void tell_totals();

    // No new boards: the waiting ones end "not started".
    void stop_taking();
    // Something the station needs failed (`why`, one line): said, no new
    // boards are taken, and the run fails.
    void halt(const std::string& why);
    // The run fails for `why`, said on standard error, and goes on.
    void fail(const std::string& why);

    bool taking() const { return taking_; }
    // halt() or fail() was called.
    bool failed() const { return failed_; }
    // No new boards are taken and none runs: the run is over.
    bool over() const { return !taking_ && running() == 0; }
    size_t running() const { return count(SLOT_RUNNING); }
    size_t waiting() const { return count(SLOT_QUEUED); }
    const board_tally& tally() const { return tally_; }
    // The rows in the order the boards were queued.
    std::vector<board_view> rows() const;
    // 130 when a board was interrupted; else 1 when one failed or never
    // started, or the run failed (halt, fail, a listener that lost what it
    // was told, such as standard output); else 0.
    int exit_status() const;

private:
    struct slot {
        int id = 0;
        slot_state state = SLOT_QUEUED;
        port_info port;
        std::unique_ptr<board> b;  // from the opening of its port on
        image img;                 // the board's own copy, from its start on
        std::vector<field_value> values;  // what the starting() hook patched into it
        ser_port lent{};           // a fixture slot's port, when lent.handle is set
        int fixture_slot = 0;      // its slot, from 1; 0: none
        std::chrono::system_clock::time_point start{};
        board_view last;           // its final view, once ended
        std::chrono::steady_clock::time_point queued = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point next_open{};  // its port is not opened again before
    };

    bool open(slot& s, std::string* error);
    bool open_later(slot& s);
    std::chrono::milliseconds until_next_open(std::chrono::milliseconds wait) const;
    void start(slot& s);
    void end(slot& s, const board_view& ran);
    void sent_with(const slot& s, board_view* v);
    void end_unstarted(slot& s, board_end how, const std::string& message);
    bool tell_ended(const session_board& b, const board_view& v, std::string* why);
    session_board seen_by_hooks(const slot& s) const;
    std::string unstarted_text(const std::string& port) const;
    size_t count(slot_state state) const;

    const session_rules rules_;
    const image& img_;
    std::string img_sha256_;  // of img_'s bytes, once a board has ended
    session_hooks* hooks_;
    std::vector<session_listener*> listeners_;
    board_news news_;
    std::map<int, slot> slots_;  // by id: in the order queued
    int next_id_ = 0;
    bool taking_ = true;
    bool failed_ = false;        // halt() or fail(): the run fails whatever its boards did
    int interrupts_seen_ = 0;
    board_tally tally_;
};
