// Why a port did not open, on Windows: GetLastError.
#include "platform/port_error.h"

#include <windows.h>

// A COM port another program has open answers "access denied".
port_open_failure port_error_cause()
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

std::string port_error_text()
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
