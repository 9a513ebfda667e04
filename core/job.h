// The programming job: the port, the private copy of the image, the three
// protocol layers with the guard between them, and the one message buffer.
// A front end fills in a job_config, opens and configures the port with a
// port_owner, and hands both to job_start, which builds it all; job_poll
// runs one exchange, job_close takes it all down again. Failures come back
// as values: nothing here ends the process.
//
// A job closes itself when held in a job_ptr. The command-line programmer
// runs one job per port that way, each on its own thread. The dialog
// program's one job lives until the process ends: it is never closed.
#pragma once

#include <cstdint>
#include <memory>

#include "lprog.h"
#include "port.h"
#include "ser.h"

struct sink;

// Where a job meets the platform: the port operations (the tick among them)
// and the local clock of RTC_SET. The front ends take the platform's own,
// the defaults; tests give fakes.
struct job_seams {
    const port_ops* ops = &port_platform();
    lprog_clock clock = lprog_system_time;
};

// What a front end asks of a job: one value, filled in before the job starts.
struct job_config {
    const char* port = "";      // the port's name, as the front end opens it
    int32_t baud = 115200;      // line speed
    int chunk = 256;            // image bytes per PROGRAM
    uint32_t addr = 0;          // device address of the image
    const sink* out = nullptr;  // console texts and progress; null: standard output
    int quick = 0;              // 1: after a frame, empty the line of what has arrived
                                // only; 0: wait out the 10 ms drain (the dialog's pacing)
    int unguarded = 0;          // 1: no acknowledgement guard in the stack, so one frame
                                // goes down and one reply comes up every poll: the bare
                                // pacing the bench measures against, unsafe on a faulty line
    int lent = 0;               // 1: the port is lent by its owner, who keeps it: job_close
                                // leaves it open, as the job last set it
    job_seams seams;
};

enum zel_constants : int32_t {
    ZEL_BUFFER_SIZE = 10000,     // message buffer capacity
    ZEL_HEADROOM = 12,           // room in front for the packet layer's tagged header
    ZEL_READ_TIMEOUT_US = 120000,  // wait for each received byte
    ZEL_SMALL_IMAGE = 255,       // images up to this size go to ZEL_SMALL_IMAGE_ADDR
    ZEL_SMALL_IMAGE_ADDR = 0x1FF000,
};

// A started job; what is inside is the job module's own.
struct job;

// Starts a job on a port that is open and configured (a port_owner's
// release(), or its lend() for a job with config.lent), which the job then
// owns unless lent: copies the image, builds the stack
// and arms the programming layer for the image at config.addr as it stands.
// The port must be reached through config.seams.ops. The caller keeps
// `image` alive only for the call. Null when there is no memory for the
// job or the copy of the image; the port is then taken down as job_close
// would.
job* job_start(const job_config& config, ser_port port, const uint8_t* image, uint32_t length);
// One exchange: the command of the current phase down the stack and one reply
// up it; while the guard settles the line after a doubtful answer, nothing
// is sent and the poll only receives, and while it keeps a repeat back the
// poll's text is printed but nothing is sent. 0 while the job is not
// finished (or null); 1 once RESET has been acknowledged.
int job_poll(job* t);
// Ends a job: puts the port's saved settings back, closes the port (unless
// it was lent) and frees everything job_start made. Nothing for null.
void job_close(job* t);

struct job_closer {
    void operator()(job* t) const { job_close(t); }
};

// A job that closes itself when it goes.
using job_ptr = std::unique_ptr<job, job_closer>;

// What the loader probe heard.
enum job_probe_answer : int32_t {
    JOB_PROBE_SILENT = 0,  // no acknowledgement: no board, or one running its application
    JOB_PROBE_LOADER = 1,  // acknowledged: a device waits in its loader
    JOB_PROBE_GONE = 2,    // the line went away (the adapter unplugged)
};

// Asks the device on `port` (open and configured, lent: it stays open) the
// erase-wait question, PROGRAM(0, 0), which writes nothing and which only a
// device waiting in its loader acknowledges, and waits up to wait_ms for the
// answer. An answer in the other packet framing switches the framing and is
// asked again once. config's port, baud and seams are used; the rest is the
// probe's own.
job_probe_answer job_probe(const job_config& config, const ser_port& port, uint32_t wait_ms);
