// The platform seam of zelflash: the terminal, the interrupt keys, the
// threads that must not take them, writing standard output and the board
// log, and the system's texts for error codes. One file per platform
// implements it (console_posix.cpp, console_win.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

// Opens /dev/null on standard input, output and error where they are closed,
// so that no file or port opened later takes their numbers: a port that
// became descriptor 1 would get the progress text. Call it first thing.
// Nothing to do on Windows.
void console_fill_standard_descriptors();

// True when the stream is a terminal (not a pipe or a file).
bool console_is_terminal(FILE* stream);
// Lets the terminal of `stream` take ANSI cursor sequences; false when it
// cannot, or says it cannot (TERM=dumb, or no TERM at all, on POSIX).
bool console_enable_ansi(FILE* stream);

struct console_size {
    int columns = 80;
    int rows = 24;
};
// The size of the terminal of `stream`, read anew on every call so that a
// resized window is seen at the next paint; 80 x 24 when unknown.
console_size console_size_of(FILE* stream);

// From now on Ctrl-C and termination requests (SIGINT, SIGTERM and SIGHUP;
// the console control events on Windows) are counted instead of ending the
// process, and a closed output pipe no longer ends it either. The count is
// read from any thread.
void console_catch_interrupts();
int console_interrupts();
// A thread that leaves the interrupts to the main thread: a signal then
// always breaks the main thread out of a write that is stuck.
std::thread console_start_thread(std::function<void()> body);

// Writes all of `text` to the stream's file, unbuffered. Before any
// interrupt it waits as long as the reader makes it; after one, what cannot
// be written within CONSOLE_GIVE_UP_MS is given up, so that a reader that
// stopped reading cannot keep zelflash alive (POSIX; on Windows a write
// waits). false with the reason in *error.
constexpr int CONSOLE_GIVE_UP_MS = 1000;
bool console_write(FILE* stream, std::string_view text, std::string* error);

// An append-only file for the board log, as a C runtime descriptor.
// Opens (creating) `path` for appending; -1 with *error.
int console_open_append(const std::string& path, std::string* error);
// True when the file holds something and its last byte is not a line end:
// a record cut short by a crash or a full disk.
bool console_ends_torn(int fd);
// Appends `text` with one write: the whole of it, or, when the write fails
// or falls short, nothing (what a short write left is cut off again). false
// with *error.
bool console_append(int fd, std::string_view text, std::string* error);
// Pushes what was appended through to the disk, so that a crash or a power
// cut loses none of it; a file that cannot be synced by nature (a device
// such as /dev/null) counts as synced. false with *error.
bool console_sync(int fd, std::string* error);
// false with *error when the close reports a failed write.
bool console_close(int fd, std::string* error);

// Why a port did not open, from the last error of this thread.
enum console_open_failure : int32_t {
    OPEN_FAILED = 0,   // none of those below
    OPEN_DENIED = 1,   // no permission
    OPEN_BUSY = 2,     // another program holds it
    OPEN_ABSENT = 3,   // no such device
};
console_open_failure console_last_open_failure();

// The system's text for the last error of this thread (errno; GetLastError).
std::string console_last_error_text();

// Broken-down UTC of `t`, safe beside other threads' use of the C library's
// time conversions.
bool console_utc(std::time_t t, std::tm* out);
