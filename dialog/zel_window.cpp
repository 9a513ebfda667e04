// The main window of the Windows program: a dialog of the class "ZEL" with
// the port list, the "Program" button and the status field.
#include <cstdio>

#include "host.h"
#include "resource.h"
#include "zel.h"
#include "zel_win.h"

enum window_constants : int {
    PORTS_MAX = 31,      // com1 to com31 are probed; com32 and above never
    POLL_MS = 5,         // period of the poll timer
    LINE_SPEED = 115200,
    CHUNK_SIZE = 256,
    BASE_ADDRESS = 0,    // the job moves small images elsewhere
    DONE_HZ = 2000,
    DONE_MS = 100,
};

// A port found at start-up. The list control holds the names of exactly these
// entries in the same order, so a list position is also a table index.
struct port_entry {
    int32_t number;
    char name[8];  // "com%d", NUL-terminated; com31 takes 6 characters
};

static port_entry port_table[PORTS_MAX];

// Opens "\\.\comN" rather than "comN": the bare name reaches only COM1 to COM9.
static int port_present(const char* name)
{
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    FILE* f = std::fopen(path, "r");
    if (!f)
        return 0;
    std::fclose(f);
    return 1;
}

static void discover_ports(HWND list)
{
    int taken = 0;
    for (int number = 1; number <= PORTS_MAX; ++number) {
        port_entry* e = &port_table[taken];
        std::snprintf(e->name, sizeof e->name, "com%d", number);
        if (!port_present(e->name))
            continue;  // absent or in use: left out, the entry is reused
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e->name));
        e->number = number;
        ++taken;
    }
    SendMessageA(list, CB_SETCURSEL, 0, 0);
}

static void start_programming(HWND window)
{
    if (zel_job != nullptr)
        return;
    LRESULT chosen = SendMessageA(GetDlgItem(window, IDC_PORT), CB_GETCURSEL, 0, 0);
    if (chosen < 0 || chosen >= PORTS_MAX)
        return;  // nothing chosen (or an empty list): stay idle
    job_config request;
    request.port = port_table[chosen].name;
    request.baud = LINE_SPEED;
    request.chunk = CHUNK_SIZE;
    request.addr = BASE_ADDRESS;
    zel_open(&zel_job, request);
    zel_status("Programming...");
    SetTimer(window, IDT_POLL, POLL_MS, nullptr);
}

static void poll(HWND window)
{
    if (!zel_poll(zel_job))
        return;
    host.beep(DONE_HZ, DONE_MS);
    zel_status("Done");
    KillTimer(window, IDT_POLL);
}

LRESULT CALLBACK zel_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) != IDC_PROGRAM)
            break;
        start_programming(window);
        return 0;
    case WM_TIMER:
        // A timer id travels in the low word of wParam.
        if (LOWORD(wparam) == IDT_POLL)
            poll(window);
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

static void register_class(HINSTANCE instance)
{
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = zel_wndproc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;  // the class serves as a dialog's class
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "ZEL";
    if (!RegisterClassA(&wc))
        zel_fatal("This program requires Windows NT");
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    zel_instance = instance;
    register_class(instance);
    zel_dialog = CreateDialogParamA(instance, "ZEL", nullptr, nullptr, 0);
    if (!zel_dialog)
        zel_fatal("Could not create dialog");
    ShowWindow(zel_dialog, show);
    discover_ports(GetDlgItem(zel_dialog, IDC_PORT));
    zel_status(" - Idle - ");

    // GetMessageA gives 0 for WM_QUIT, whose wParam is the exit code that
    // PostQuitMessage set, and -1 when it fails; the message is then not
    // filled in, and the program ends with status 1 as on a fatal error.
    MSG msg{};
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        if (!IsWindow(zel_dialog) || !IsDialogMessageA(zel_dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (got < 0)
        return 1;
    return static_cast<int>(msg.wParam);
}
