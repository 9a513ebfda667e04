// The console seam on Windows.
#include "console.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
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

console_size console_size_of(FILE* stream)
{
    console_size size;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(console_of(stream), &info)) {
        size.columns = info.srWindow.Right - info.srWindow.Left + 1;
        size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return size;
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

// The control handler runs on a thread of its own here; no thread takes it.
std::thread console_start_thread(std::function<void()> body)
{
    return std::thread(std::move(body));
}

// A write waits for its reader here, interrupted or not.
bool console_write(FILE* stream, std::string_view text, std::string* error)
{
    if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0)
        return true;
    *error = std::strerror(errno);
    std::clearerr(stream);
    return false;
}

int console_open_append(const std::string& path, std::string* error)
{
    int fd = _open(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        *error = std::strerror(errno);
    return fd;
}

bool console_ends_torn(int fd)
{
    __int64 size = _filelengthi64(fd);
    char last = '\n';
    if (size <= 0 || _lseeki64(fd, size - 1, SEEK_SET) < 0)
        return false;
    return _read(fd, &last, 1) == 1 && last != '\n';
}

bool console_append(int fd, std::string_view text, std::string* error)
{
    __int64 before = _filelengthi64(fd);
    int k = _write(fd, text.data(), static_cast<unsigned>(text.size()));
    if (k == static_cast<int>(text.size()))
        return true;
    if (k < 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (before >= 0)
        _chsize_s(fd, before);
    *error = "only " + std::to_string(k) + " of " + std::to_string(text.size()) + " bytes written (is the disk full?)";
    return false;
}

bool console_sync(int fd, std::string* error)
{
    if (_commit(fd) == 0 || errno == EBADF)
        return true;
    *error = std::strerror(errno);
    return false;
}

bool console_close(int fd, std::string* error)
{
    if (_close(fd) == 0)
        return true;
    *error = std::strerror(errno);
    return false;
}

// A COM port another program has open answers "access denied".
console_open_failure console_last_open_failure()
{
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return OPEN_BUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST: return OPEN_ABSENT;
    default: return OPEN_FAILED;
    }
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
