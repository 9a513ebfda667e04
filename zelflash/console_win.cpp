// The console seam on Windows.
#include "console.h"

#include <atomic>
#include <io.h>
#include <windows.h>

static std::atomic<int> interrupts{0};

// A port is a handle here, never a C runtime descriptor, so it cannot take
// the place of standard output.
void console_fill_standard_descriptors() {}

bool console_is_terminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

static HANDLE console_of(FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool console_enable_ansi(FILE* stream)
{
    HANDLE h = console_of(stream);
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode))
        return false;
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int console_width(FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(console_of(stream), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

// Ctrl-C, Ctrl-Break and the close of the console window are counted; the
// programming threads stop after their exchange in flight and put the ports
// back.
static BOOL WINAPI count_interrupt(DWORD)
{
    interrupts.fetch_add(1);
    return TRUE;
}

void console_catch_interrupts()
{
    SetConsoleCtrlHandler(count_interrupt, TRUE);
}

int console_interrupts()
{
    return interrupts.load();
}

std::string console_last_error_text()
{
    DWORD code = GetLastError();
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        text[--n] = '\0';
    if (n == 0)
        return "error " + std::to_string(code);
    return text;
}

bool console_utc(std::time_t t, std::tm* out)
{
    return gmtime_s(out, &t) == 0;
}

void console_sync(FILE* stream)
{
    std::fflush(stream);
    _commit(_fileno(stream));
}
