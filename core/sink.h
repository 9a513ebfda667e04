// The one interface between the protocol core and a front end: what a
// programming job tells its front end (console texts, progress) and what it
// asks of it (whether to stop). Every entry may be null.
//
// The dialog program's sink is `sink_console`: the texts go to standard
// output byte for byte, nothing else is reported and nothing stops a job.
// The command-line programmer gives each port's job a sink of its own, from
// which it draws its live display; the calls come on that job's thread.
#pragma once

#include <cstdint>

// Where a job stands, after each exchange of a bounded run.
struct sink_progress {
    int32_t phase;     // the programming layer's phase: the command to go out next
    uint32_t addr;     // that command's device address (the chunk's, for PROGRAM)
    uint32_t done;     // image bytes the device has acknowledged
    uint32_t total;    // image bytes in all
    uint32_t retries;  // exchanges repeated so far in this run
};

struct sink {
    void* ctx;
    // A console text of the job, exactly as the dialog program prints it;
    // the text carries its own line ends and carriage returns.
    void (*text)(void* ctx, const char* text);
    // Called after every exchange of a bounded run.
    void (*progress)(void* ctx, const sink_progress* p);
    // Asked before every exchange of a bounded run: non-zero ends the run
    // with the exchange in flight completed.
    int (*cancelled)(void* ctx);
};

// Standard output, flushed after every text.
extern const sink sink_console;

// Formats like printf and hands the text to s (the console when s is null).
void sink_printf(const sink* s, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void sink_report(const sink* s, const sink_progress* p);
int sink_cancelled(const sink* s);
