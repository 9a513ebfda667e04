// The application: the programming job, fatal errors and the status line.
// The main window (Windows only) drives the job: it fills in the request,
// calls zel_open once, then zel_poll from a timer until it returns non-zero.
#pragma once

#include <cstdint>

#include "job.h"

enum zel_text_size : int32_t {
    ZEL_FATAL_SIZE = 1000,       // the fatal text, terminator included
    ZEL_STATUS_SIZE = 64,        // the status text, terminator included
};

// The program's one job: null until the main window opens it, then the
// job's until the process ends.
extern job* zel_job;

// Opens the port `request` names and sets it up at its baud, then starts a
// job on the image the program carries, at ZEL_SMALL_IMAGE_ADDR when it is
// small, and leaves it in *t. The port is handed to the job and the job is
// never closed: both live until the process ends. A port that does not
// open, or no memory for the job, ends the program (zel_fatal). 0; a call
// while *t holds a job does nothing.
int zel_open(job** t, const job_config& request);
// One exchange of the job (job_poll); 0 before zel_open.
int zel_poll(job* t);

// Ends the program after a failure of its environment: the alert box, a low
// tone, exit status 1. Call it right after the failed platform operation, so
// that the platform's last-error code still describes that failure.
[[noreturn]] void zel_fatal(const char* what);

// Composes the fatal text for `what` and the error `code` into out, which
// holds ZEL_FATAL_SIZE characters; the closing line always fits.
void zel_fatal_text(char* out, const char* what, uint32_t code);

// Formats like printf and shows the result in the status field.
void zel_status(const char* format, ...);
