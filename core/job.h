// The programming job: the port, the private copy of the image, the three
// protocol layers with the guard between them, and the one message buffer.
// job_start builds it all on a port that is already open and configured,
// job_poll runs one exchange, job_close takes it all down again. Failures
// come back as values: nothing here ends the process.
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
// thread. Both open and configure the port with a port_owner and release the
// handle into the job; job_close then takes the port down (ser_close).
struct job {
    int open;              // 0 until the job has started, then 1 until job_close
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
};

// Starts a job on a port that is open and configured (`handle` set):
// copies the image, builds the stack and arms the programming layer for
// the image at `addr` as it stands. The caller keeps `image` alive only
// for the call. 0, or -1 when there is no memory for the copy of the image
// (nothing is then held).
int job_start(job* t, const uint8_t* image, uint32_t length);
// One exchange: the command of the current phase down the stack and one reply
// up it; while the guard settles the line after a doubtful answer, nothing
// is sent and the poll only receives, and while it keeps a repeat back the
// poll's text is printed but nothing is sent. 0 while the job is not started or not
// finished; 1 once RESET has been acknowledged.
int job_poll(job* t);
// Ends a started job: puts the port's saved settings back, closes the port
// and frees what job_start made. The record is then as before job_start.
void job_close(job* t);
