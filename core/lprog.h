// Programming layer: the top of the stack and the whole conversation with the
// device. Each poll its tx appends the command of the current phase; its rx
// advances the phase on an "ACK" reply. Unacknowledged commands are simply
// built and sent again at the next poll.
//
// Command: | name, NUL-terminated (8) | param 1 LE (4) | param 2 LE (4) | data (n) |
// ERASE and RESET write 6 name bytes; the last 2 keep what the buffer held.
#pragma once

#include <cstdint>
#include <ctime>

struct layer;
struct mlb;
struct sink;
struct sink_progress;

// Source of the local time for RTC_SET: fills *out as localtime() does;
// false when the clock cannot be read (RTC_SET is then not sent in that
// poll). A job gets it from its front end, a test gives a known record.
using lprog_clock = bool (*)(std::tm* out);

// The system's clock: time() and localtime(), safe to call from several threads.
bool lprog_system_time(std::tm* out);

// Phases, in the order 1 -> 2 -> 3 (once per chunk) -> 6 -> 5 -> 4 -> 0.
enum lprog_phase : int32_t {
    LPROG_IDLE = 0,         // idle or finished: nothing is sent
    LPROG_ERASE = 1,        // ERASE(addr, addr + total)
    LPROG_WAIT_ERASE = 2,   // PROGRAM(0, 0) until the erase has finished
    LPROG_PROGRAM = 3,      // PROGRAM(a, a + chunk) with chunk bytes from cur
    LPROG_RESET = 4,        // RESET, then done
    LPROG_SET_CLOCK = 5,    // RTC_SET with the local time record, twice
    LPROG_FIRST_AGAIN = 6,  // the first chunk once more
};

// Sizes on the wire, in bytes.
enum lprog_size : int32_t {
    LPROG_NAME_SIZE = 8,     // the command name field
    LPROG_PARAM_SIZE = 4,    // each of the two parameters
    LPROG_CLOCK_SIZE = 8,    // one time record of RTC_SET
};

// Private record behind the layer's p_.
struct lprog {
    int32_t phase;
    const uint8_t* start;  // first byte of the image (not owned)
    uint32_t addr;         // device address of the image's first byte
    uint32_t total;        // image length in bytes
    const uint8_t* cur;    // chunk being programmed, within [start, start + total)
    int32_t chunk;         // image bytes per PROGRAM; the image copy must be
                           // readable for a whole number of chunks
    uint8_t done;          // 1 once RESET has been acknowledged
    const sink* out;       // where the console texts go; null: standard output
    lprog_clock clock;     // the local time RTC_SET sends
};

layer* lprog_alloc();
// Installs the handlers, the sink the console texts go to (null: standard
// output) and the clock RTC_SET reads.
void lprog_init(layer* t, const sink* out, lprog_clock clock);
void lprog_start(layer* t, const uint8_t* image, uint32_t total, uint32_t addr, int32_t chunk);
int lprog_done(layer* t);
// Moves a started sequence to the erase wait, as an acknowledged ERASE does:
// the next command is PROGRAM(0, 0), which writes nothing.
void lprog_skip_erase(layer* t);
// Where the sequence stands: the phase, the address of the command to go out
// next and the image bytes acknowledged so far. The retry count is left alone.
void lprog_progress(layer* t, sink_progress* p);
void lprog_tx(layer* t, mlb* m);
void lprog_rx(layer* t, mlb* m);
// 1 when a reply, as delivered, is the acknowledgement "ACK": at least 4
// bytes in all, and the data a NUL-terminated "ACK". Reduces the view to the
// data region, as lprog_rx does.
int lprog_acknowledges(mlb* m);

