// The standard streams and the terminal behind them: whether a stream is a
// terminal that takes cursor codes, its size, and checked writes that an
// interrupt can end. One file per platform implements it
// (terminal_posix.cpp, terminal_win.cpp).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// Opens /dev/null on standard input, output and error where they are closed,
// so that no file or port opened later takes their numbers: a port that
// became descriptor 1 would get the progress text. Call it first thing.
// Nothing to do on Windows.
void terminal_fill_standard_streams();

// True when the stream is a terminal (not a pipe or a file).
bool terminal_is(FILE* stream);
// Lets the terminal of `stream` take ANSI cursor sequences; false when it
// cannot, or says it cannot (TERM=dumb, or no TERM at all, on POSIX).
bool terminal_enable_ansi(FILE* stream);

struct terminal_size {
    int columns = 80;
    int rows = 24;
};
// The size of the terminal of `stream`, read anew on every call so that a
// resized window is seen at the next paint; 80 x 24 when unknown.
terminal_size terminal_size_of(FILE* stream);

// Writes all of `text` to the stream's file, unbuffered. Before any
// interrupt (interrupts.h) it waits as long as the reader makes it; after
// one, what cannot be written within TERMINAL_GIVE_UP_MS is given up, so
// that a reader that stopped reading cannot keep zelflash alive (POSIX; on
// Windows a write waits). false with the reason in *error.
constexpr int TERMINAL_GIVE_UP_MS = 1000;
bool terminal_write(FILE* stream, std::string_view text, std::string* error);

// Standard input's echo, off while a terminal_echo_off lives (on a terminal
// only; anything else is left alone) and put back as it goes: the Enter an
// operator presses to start a fixture's boards would otherwise move the
// live rows down a line.
class terminal_echo_off {
public:
    terminal_echo_off();
    ~terminal_echo_off();
    terminal_echo_off(const terminal_echo_off&) = delete;
    terminal_echo_off& operator=(const terminal_echo_off&) = delete;

private:
    struct saved;
    std::unique_ptr<saved> saved_;  // the settings found; null when nothing was changed
};
