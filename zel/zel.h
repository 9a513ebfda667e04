// The application: the programming job, fatal errors and the status line.
// The main window (Windows only) drives the job: it fills in the request,
// calls zel_open once, then zel_poll from a timer until it returns non-zero.
#pragma once

#include <cstdint>

#include "port.h"

struct layer;
struct mlb;
struct plm;
struct sink;

// A programming job. The dialog program has one, zel_job: everything
// zel_open creates lives until the process ends, nothing is closed or
// freed. The command-line programmer runs one job per port, each on its own
// thread, opens and configures the port itself, starts the job with
// zel_start and ends it with zel_close.
struct job {
    int open;              // 0 until zel_open has completed, then 1 for good
    const char* port;      // port name; set by the caller
    port_handle handle;    // the open serial port
    int32_t baud;          // line speed; set by the caller (115200)
    int chunk;             // image bytes per PROGRAM; set by the caller (256)
    uint32_t addr;         // device address of the image; set by the caller (0)
    uint8_t* filebuf;      // private copy of the image, padded to whole chunks
    plm* stack;            // programming, packet and serial link layer
    mlb* mbuf;             // the one message buffer, both directions
    layer* prog;           // the programming layer, asked whether it is done
    const sink* out;       // console texts and progress; null: standard output
    int quick;             // 1: after a frame, empty the line of what has arrived
                           // only; 0: wait out the 10 ms drain (the dialog's pacing)
    layer* link;           // the serial link layer
    layer* guard;          // the acknowledgement guard, between prog and the packet layer
};

enum zel_constants : int32_t {
    ZEL_BUFFER_SIZE = 10000,     // message buffer capacity
    ZEL_HEADROOM = 12,           // room in front for the packet layer's tagged header
    ZEL_READ_TIMEOUT_US = 120000,  // wait for each received byte
    ZEL_SMALL_IMAGE = 255,       // images up to this size go to ZEL_SMALL_IMAGE_ADDR
    ZEL_SMALL_IMAGE_ADDR = 0x1FF000,
    ZEL_FATAL_SIZE = 1000,       // the fatal text, terminator included
    ZEL_STATUS_SIZE = 64,        // the status text, terminator included
};

extern job zel_job;

int zel_open(job* t);
// One exchange: the command of the current phase down the stack and one reply
// up it; while the guard settles the line after a doubtful answer, nothing
// is sent and the poll only receives.
int zel_poll(job* t);

// Starts a job on a port that is open and configured (`handle` set):
// copies the image, builds the stack and arms the programming layer for
// the image at `addr` as it stands. The caller keeps `image` alive only
// for the call.
void zel_start(job* t, const uint8_t* image, uint32_t length);
// Ends a started job: puts the port's saved settings back, closes the port
// and frees what zel_start made. The record is then as before zel_start.
void zel_close(job* t);

// Ends the program after a failure of its environment: the alert box, a low
// tone, exit status 1. Call it right after the failed platform operation, so
// that the platform's last-error code still describes that failure.
[[noreturn]] void zel_fatal(const char* what);

// Composes the fatal text for `what` and the error `code` into out, which
// holds ZEL_FATAL_SIZE characters; the closing line always fits.
void zel_fatal_text(char* out, const char* what, uint32_t code);

// Formats like printf and shows the result in the status field.
void zel_status(const char* format, ...);
