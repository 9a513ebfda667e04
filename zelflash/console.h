// The platform seam of zelflash: the terminal, the interrupt keys and the
// system's texts for error codes. One file per platform implements it
// (console_posix.cpp, console_win.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Opens /dev/null on standard input, output and error where they are closed,
// so that no file or port opened later takes their numbers: a port that
// became descriptor 1 would get the progress text. Call it first thing.
// Nothing to do on Windows.
void console_fill_standard_descriptors();

// True when the stream is a terminal (not a pipe or a file).
bool console_is_terminal(FILE* stream);
// Lets the terminal of `stream` take ANSI cursor sequences; false when it cannot.
bool console_enable_ansi(FILE* stream);
// Columns of the terminal of `stream`; 80 when unknown.
int console_width(FILE* stream);

// From now on Ctrl-C and termination requests (SIGINT, SIGTERM and SIGHUP;
// the console control events on Windows) are counted instead of ending the
// process, and a closed output pipe no longer ends it either. The count is
// read from any thread.
void console_catch_interrupts();
int console_interrupts();

// The system's text for the last error of this thread (errno; GetLastError).
std::string console_last_error_text();

// Broken-down UTC of `t`, safe beside other threads' use of the C library's
// time conversions.
bool console_utc(std::time_t t, std::tm* out);
// Pushes what was written to `stream` through to the disk, so that a crash or
// a power cut loses none of it.
void console_sync(FILE* stream);
