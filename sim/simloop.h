// The simulator's event loop: one thread, one poll over the line and a stop
// descriptor, and timers kept as due times. Nothing busy-waits: the poll
// sleeps until the next byte, the next due time or the stop request.
//
// Incoming bytes go through the SLIP decoder; each frame waits in the inbox
// until the line would have delivered it (its wire time after its first
// byte, at --baud), then through the packet check to the device. Replies wait
// for their due time (program time, end of an erase), pass the fault
// injector, and wait in the outbox until the line would have carried them.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "device.h"
#include "faults.h"
#include "line.h"
#include "options.h"
#include "packet.h"
#include "slip.h"

struct frame_counts {
    int64_t received;       // complete frames off the line
    int64_t accepted;       // passed the packet check
    int64_t bad_check;      // check value wrong, or too short
    int64_t bad_escape;     // ESC followed by a byte other than ESC_END / ESC_ESC
    int64_t too_long;       // longer than the device takes
    int64_t not_addressed;  // tagged, addressed to another tag
    int64_t ignored;        // thrown away by the ignore-frame fault
};

struct reply_counts {
    int64_t sent;     // "ACK" frames put on the line
    int64_t muted;    // suppressed by --mute
    int64_t dropped;  // suppressed by the drop-reply fault
};

struct pending_frame {
    int64_t due_us;
    slip_frame frame;
};

struct due_reply {
    int64_t at_us;
    size_t command;  // index in the device's log
};

struct scheduled_write {
    int64_t at_us;
    std::vector<uint8_t> bytes;
};

enum simloop_end : int32_t {
    SIMLOOP_RUNNING = 0,
    SIMLOOP_AFTER_RESET = 1,
    SIMLOOP_STOPPED = 2,     // signal or stop descriptor
    SIMLOOP_TIME_LIMIT = 3,
    SIMLOOP_LINE_ERROR = 4,
    SIMLOOP_BOARDS_DONE = 5,  // fixture: the last board left --exit-after-reset-ms ago
};

const char* simloop_end_name(int32_t end);

enum board_command_kind : int32_t {
    BOARD_ERASE = 0,
    BOARD_PROGRAM = 1,
    BOARD_RTC_SET = 2,
    BOARD_RESET = 3,
    BOARD_OTHER = 4,  // unknown names
    BOARD_COMMAND_KINDS = 5,
};

// One board's life on the fixture, summed up as it leaves (or as the run
// ends while it is seated).
struct board_record {
    int32_t number;           // from 1, in arrival order
    bool back_to_loader;      // comes back into its loader after a RESET
    int64_t seated_us;
    int64_t removed_us;       // -1: still seated when the run ended
    frame_counts frames;
    reply_counts replies;
    int64_t app_frames;       // frames that came while its application ran
    std::array<int64_t, FAULT_KINDS> faults;
    std::array<int64_t, DEVICE_BUSY + 1> outcomes;       // its commands by device_outcome
    std::array<int64_t, BOARD_COMMAND_KINDS> commands;   // its commands by board_command_kind
    std::vector<int64_t> resets_us;
    std::vector<rtc_setting> clock_settings;
    int32_t image_match;              // -1: no --image; else 0 or 1
    std::vector<std::string> reads;   // lower-case hex, one per --read
    std::vector<uint8_t> flash;       // its whole flash, kept for --flash-dump only
};

enum board_event : int32_t {
    BOARD_SEATED = 0,
    BOARD_REMOVED = 1,
};

// The fixture's slot (--fixture). Without --fixture no board is ever seated
// and both due times stay INT64_MAX, so the device simply answers.
struct fixture_slot {
    int32_t seated;          // board on the slot, from 1; 0: empty
    bool running_app;        // the seated board took a RESET and runs its application
    int64_t next_change_us;  // the schedule's next change; INT64_MAX: none
    int64_t loader_back_us;  // the seated board's loader answers again then; INT64_MAX: not
    int64_t frames_while_empty;
    int64_t app_frames;      // of the seated board
    std::vector<board_record> boards;
    std::span<const uint8_t> image;  // --image: each board's flash is held against it
    // Told of each arrival and leaving (board_event); may be null.
    void (*on_board)(void* context, int32_t board, int32_t event);
    void* context;
};

struct simloop {
    options opt;
    line io;
    slip_decoder decoder;
    packet_endpoint endpoint;
    device dev;
    faults inject;
    frame_counts frames;
    reply_counts replies;
    uint64_t bytes_in;
    uint64_t bytes_out;
    int64_t wait_answers;          // answers to PROGRAM(0, 0) sent since the last ERASE
    std::deque<pending_frame> inbox;
    std::vector<due_reply> due;
    std::deque<scheduled_write> outbox;
    std::vector<uint8_t> unsent;   // due bytes the line has not taken yet
    int64_t start_us;
    int64_t in_free_us;            // the incoming wire is busy until then
    int64_t out_free_us;           // the outgoing wire is busy until then
    int64_t last_input_us;
    int32_t end;                   // simloop_end
    int64_t end_us;
    fixture_slot slot;
};

// Monotonic clock, microseconds.
int64_t simloop_now_us();

// Wire time of n bytes at baud (10 bits a byte); 0 when baud is 0.
int64_t simloop_wire_us(uint64_t n, long baud);

// Sets up everything but the line from the options.
void simloop_init(simloop* t, const options& opt, int64_t now_us);

// The steps of the loop, exposed so that tests can drive them with their own
// clock and without a line.
void simloop_take_bytes(simloop* t, const uint8_t* bytes, size_t n, int64_t now_us);
void simloop_run_due(simloop* t, int64_t now_us);
// Bytes whose time has come, moved from the outbox to the unsent buffer.
void simloop_collect_writes(simloop* t, int64_t now_us);
// The earliest due time of any timer, or INT64_MAX.
int64_t simloop_next_due(const simloop* t);

// Sums up the board still seated, if any, as the run ends at now_us.
void simloop_close_boards(simloop* t, int64_t now_us);

// Runs on t->io until an end condition or until stop_fd becomes readable.
// Returns the simloop_end.
int32_t simloop_run(simloop* t, int stop_fd);
