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

#include <cstdint>
#include <deque>
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
};

const char* simloop_end_name(int32_t end);

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

// Runs on t->io until an end condition or until stop_fd becomes readable.
// Returns the simloop_end.
int32_t simloop_run(simloop* t, int stop_fd);
