// The application's platform operations on Windows.
#include "host.h"
#include "resource.h"
#include "zel_win.h"

HINSTANCE zel_instance;
HWND zel_dialog;

static const uint8_t* win_image(uint32_t* size)
{
    HRSRC found = FindResourceA(nullptr, "binfile", MAKEINTRESOURCEA(10));  // RT_RCDATA
    if (!found)
        return nullptr;
    HGLOBAL loaded = LoadResource(zel_instance, found);
    if (!loaded)
        return nullptr;
    *size = SizeofResource(zel_instance, found);
    return static_cast<const uint8_t*>(LockResource(loaded));
}

static uint32_t win_last_error()
{
    return GetLastError();
}

static uint32_t win_describe_error(uint32_t code, char* dst, uint32_t room)
{
    return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, dst, room, nullptr);
}

static void win_alert(const char* text, const char* caption)
{
    MessageBoxA(zel_dialog, text, caption, MB_ICONEXCLAMATION | MB_OK);
}

static void win_beep(uint32_t hz, uint32_t ms)
{
    Beep(hz, ms);
}

static void win_show_status(const char* text)
{
    SetDlgItemTextA(zel_dialog, IDC_STATUS, text);
}

static const host_ops platform = {
    win_image, win_last_error, win_describe_error, win_alert, win_beep, win_show_status,
};

host_ops host = platform;

const host_ops& host_platform()
{
    return platform;
}
