// The standard streams on Windows.
#include "platform/terminal.h"

#include <cerrno>
#include <cstring>
#include <io.h>
#include <windows.h>

// A port is a handle here, never a C runtime descriptor, so it cannot take
// the place of standard output.
void terminal_fill_standard_streams() {}

bool terminal_is(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

static HANDLE console_of(FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool terminal_enable_ansi(FILE* stream)
{
    HANDLE h = console_of(stream);
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode))
        return false;
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

terminal_size terminal_size_of(FILE* stream)
{
    terminal_size size;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(console_of(stream), &info)) {
        size.columns = info.srWindow.Right - info.srWindow.Left + 1;
        size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return size;
}

// A write waits for its reader here, interrupted or not.
bool terminal_write(FILE* stream, std::string_view text, std::string* error)
{
    if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0)
        return true;
    *error = std::strerror(errno);
    std::clearerr(stream);
    return false;
}

struct terminal_echo_off::saved {
    HANDLE input;
    DWORD mode;
};

terminal_echo_off::terminal_echo_off()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode))
        return;
    saved_ = std::make_unique<saved>(saved{input, mode});
    if (!SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)))
        saved_.reset();
}

terminal_echo_off::~terminal_echo_off()
{
    if (saved_)
        SetConsoleMode(saved_->input, saved_->mode);
}
