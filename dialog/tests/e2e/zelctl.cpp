// zelctl: drives zel's dialog from outside, as its user would, through
// messages to the dialog's controls; the end-to-end tests and the demo run it
// under wine beside zel.exe (same prefix, same display).
//
// Usage: zelctl COMMAND [ARGS] [COMMAND [ARGS] ...]
// The commands run in order; each prints one line. The first that fails (a
// time-out, a window that is not there) ends the run with exit status 1;
// a usage error gives 2.
//
//   find SECONDS             wait for the dialog (window class "ZEL")
//   ports                    the port list: selected position, count, entries
//   status                   the status field's text
//   select N                 choose list position N (CB_SETCURSEL)
//   press                    click "Program" (BM_CLICK, posted)
//   press-command            post WM_COMMAND with the button's id instead
//   wait-status TEXT SECONDS poll the status field until it reads TEXT;
//                            prints every distinct text seen on the way
//   watch MS                 poll the status field for MS milliseconds; prints
//                            every distinct text seen
//   close                    close the dialog as its close button would
//   wait-gone SECONDS        wait until the dialog no longer exists
//   box SECONDS              wait for the "Terminate Program" box, print its text
//   box-ok                   press OK on that box
//   no-box                   fail if such a box is shown
//   rect                     the dialog's position and size on the screen
//   forget-ports             drop the device names wine gave com1 to com31
//   probe-ports              which of com1 to com31 can be opened now
//   describe N               the system's description of error code N
//   sleep MS                 pause
//
// Texts are printed in brackets so that leading and trailing blanks show,
// with backslash, CR, LF and other control characters escaped.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum ids : int {
    ID_PORT = 3,
    ID_PROGRAM = 4,
    ID_STATUS = 5,
    ID_BOX_TEXT = 0xFFFF,  // the static control holding a message box's text
};

constexpr char box_caption[] = "Terminate Program";

// A poll runs inside zel's timer handler and may hold its window up for a
// few hundred milliseconds; a query waits this long before it gives up.
constexpr UINT query_timeout_ms = 5000;
constexpr DWORD poll_ms = 10;

HWND dialog;

void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string escaped(const std::string& text)
{
    std::string out = "[";
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "]";
}

std::string narrow(const wchar_t* text)
{
    char out[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

// WM_GETTEXT with a time-out, so that a hung window cannot hang the caller.
// Texts are fetched as UTF-16 and converted here: sent across processes, the
// ANSI forms of some list queries come back unconverted under wine.
bool window_text(HWND window, std::string* text)
{
    wchar_t buffer[2048] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, sizeof buffer / sizeof buffer[0],
                             reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, query_timeout_ms, &copied))
        return false;
    *text = narrow(buffer);
    return true;
}

bool send(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result)
{
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_NORMAL, query_timeout_ms, &r))
        return false;
    *result = static_cast<LRESULT>(r);
    return true;
}

double seconds_arg(const char* text)
{
    char* end = nullptr;
    double s = std::strtod(text, &end);
    if (!end || *end || s < 0) {
        say("usage: bad number of seconds '%s'", text);
        std::exit(2);
    }
    return s;
}

// Calls `ready` every poll_ms until it returns true or `seconds` pass.
template <typename F>
bool wait_for(double seconds, F ready)
{
    DWORD start = GetTickCount();
    DWORD limit = static_cast<DWORD>(seconds * 1000.0);
    for (;;) {
        if (ready())
            return true;
        if (GetTickCount() - start >= limit)
            return false;
        Sleep(poll_ms);
    }
}

bool need_dialog()
{
    if (dialog && IsWindow(dialog))
        return true;
    dialog = FindWindowA("ZEL", nullptr);
    if (dialog)
        return true;
    say("error: no dialog of the class ZEL");
    return false;
}

HWND find_box()
{
    return FindWindowA("#32770", box_caption);
}

bool cmd_find(double seconds)
{
    bool found = wait_for(seconds, [] { return (dialog = FindWindowA("ZEL", nullptr)) != nullptr; });
    if (!found) {
        say("find: no dialog within %.1f s", seconds);
        return false;
    }
    std::string caption;
    window_text(dialog, &caption);
    say("window %s", escaped(caption).c_str());
    return true;
}

bool cmd_ports()
{
    if (!need_dialog())
        return false;
    HWND list = GetDlgItem(dialog, ID_PORT);
    LRESULT count = 0, selected = 0;
    if (!list || !send(list, CB_GETCOUNT, 0, 0, &count) || !send(list, CB_GETCURSEL, 0, 0, &selected)) {
        say("ports: the list does not answer");
        return false;
    }
    char head[64];
    std::snprintf(head, sizeof head, "ports selected=%ld count=%ld", static_cast<long>(selected),
                  static_cast<long>(count));
    std::string line = head;
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t name[256] = {};
        LRESULT length = 0;
        DWORD_PTR copied = 0;
        if (!send(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, &length) || length < 0 ||
            length >= static_cast<LRESULT>(sizeof name / sizeof name[0]) ||
            !SendMessageTimeoutW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name),
                                 SMTO_NORMAL, query_timeout_ms, &copied)) {
            say("ports: entry %ld does not answer", static_cast<long>(i));
            return false;
        }
        line += ' ';
        line += escaped(narrow(name));
    }
    say("%s", line.c_str());
    return true;
}

bool read_status(std::string* text)
{
    HWND field = GetDlgItem(dialog, ID_STATUS);
    return field && window_text(field, text);
}

bool cmd_status()
{
    if (!need_dialog())
        return false;
    std::string text;
    if (!read_status(&text)) {
        say("status: the field does not answer");
        return false;
    }
    say("status %s", escaped(text).c_str());
    return true;
}

bool cmd_select(const char* position)
{
    if (!need_dialog())
        return false;
    int n = std::atoi(position);
    LRESULT result = 0, now = 0;
    HWND list = GetDlgItem(dialog, ID_PORT);
    if (!list || !send(list, CB_SETCURSEL, static_cast<WPARAM>(n), 0, &result) ||
        !send(list, CB_GETCURSEL, 0, 0, &now)) {
        say("select: the list does not answer");
        return false;
    }
    say("select %d selected=%ld", n, static_cast<long>(now));
    return now == n;
}

// Posted, not sent: the click may open the fatal box, whose modal loop would
// keep a sent message unanswered until the box is gone.
bool cmd_press(bool as_command)
{
    if (!need_dialog())
        return false;
    HWND button = GetDlgItem(dialog, ID_PROGRAM);
    if (!button) {
        say("press: no button");
        return false;
    }
    BOOL posted = as_command
        ? PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(ID_PROGRAM, BN_CLICKED), reinterpret_cast<LPARAM>(button))
        : PostMessageA(button, BM_CLICK, 0, 0);
    say("press %s", posted ? "posted" : "failed");
    return posted != 0;
}

bool cmd_wait_status(const std::string& wanted, double seconds)
{
    if (!need_dialog())
        return false;
    std::string last;
    bool any = false;
    std::string now;
    bool reached = wait_for(seconds, [&] {
        if (!IsWindow(dialog) || !read_status(&now))
            return false;
        if (!any || now != last) {
            say("seen %s", escaped(now).c_str());
            last = now;
            any = true;
        }
        return now == wanted;
    });
    if (!reached) {
        say("wait-status: no %s within %.1f s", escaped(wanted).c_str(), seconds);
        return false;
    }
    say("status %s", escaped(now).c_str());
    return true;
}

// Polls the status field for a while, printing every distinct text seen.
bool cmd_watch(double ms)
{
    if (!need_dialog())
        return false;
    std::string last, now;
    bool any = false;
    wait_for(ms / 1000.0, [&] {
        if (read_status(&now) && (!any || now != last)) {
            say("seen %s", escaped(now).c_str());
            last = now;
            any = true;
        }
        return false;
    });
    return any;
}

bool cmd_close()
{
    if (!need_dialog())
        return false;
    BOOL posted = PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    say("close %s", posted ? "posted" : "failed");
    return posted != 0;
}

bool cmd_wait_gone(double seconds)
{
    HWND window = dialog ? dialog : FindWindowA("ZEL", nullptr);
    bool gone = wait_for(seconds, [window] { return !window || !IsWindow(window); });
    say(gone ? "gone" : "wait-gone: the dialog is still there");
    return gone;
}

bool cmd_box(double seconds)
{
    HWND box = nullptr;
    if (!wait_for(seconds, [&box] { return (box = find_box()) != nullptr; })) {
        say("box: none within %.1f s", seconds);
        return false;
    }
    HWND owner = GetWindow(box, GW_OWNER);
    HWND zel = FindWindowA("ZEL", nullptr);
    const char* owned = !owner ? "none" : owner == zel ? "zel" : "other";
    // The box fills its controls while it is being created: wait until the
    // label and its text are there rather than reading too early.
    std::string text;
    bool read = wait_for(seconds, [&] {
        HWND label = GetDlgItem(box, ID_BOX_TEXT);
        return label && window_text(label, &text) && !text.empty();
    });
    if (!read) {
        say("box: no text within %.1f s", seconds);
        return false;
    }
    say("box owner=%s text=%s", owned, escaped(text).c_str());
    return true;
}

bool cmd_box_ok()
{
    HWND box = find_box();
    if (!box) {
        say("box-ok: no box");
        return false;
    }
    BOOL posted = PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    say("box-ok %s", posted ? "posted" : "failed");
    return posted != 0;
}

bool cmd_no_box()
{
    HWND box = find_box();
    say(box ? "box shown" : "no box");
    return box == nullptr;
}

bool cmd_rect()
{
    if (!need_dialog())
        return false;
    RECT r{};
    if (!GetWindowRect(dialog, &r)) {
        say("rect: unknown");
        return false;
    }
    say("rect %ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return true;
}

// The prefix's own serial ports (wine maps the machine's serial devices to
// the lowest free numbers when its services start) would be listed beside the
// test's ports: their device names go here, their dosdevices links are the
// caller's to remove.
bool cmd_forget_ports()
{
    std::string line = "forget-ports";
    for (int n = 1; n <= 31; ++n) {
        char name[8], target[1024] = {};
        std::snprintf(name, sizeof name, "COM%d", n);
        if (!QueryDosDeviceA(name, target, sizeof target))
            continue;
        if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, nullptr)) {
            say("forget-ports: %s (%s) stays, error %lu", name, target, GetLastError());
            return false;
        }
        line += ' ';
        line += name;
        line += '=';
        line += target;
    }
    say("%s", line.c_str());
    return true;
}

// Which of com1 to com31 open right now, as zel's discovery would see them.
bool cmd_probe_ports()
{
    std::string line = "open-ports";
    for (int n = 1; n <= 31; ++n) {
        char path[16];
        std::snprintf(path, sizeof path, "\\\\.\\com%d", n);
        HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(h);
        line += " [com" + std::to_string(n) + "]";
    }
    say("%s", line.c_str());
    return true;
}

// The platform's description of an error code, as zel's fatal box asks for it.
bool cmd_describe(const char* number)
{
    char text[1000] = {};
    DWORD code = static_cast<DWORD>(std::strtoul(number, nullptr, 10));
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
    say("describe %lu %s", code, escaped(std::string(text, n)).c_str());
    return n > 0;
}

int usage()
{
    say("usage: zelctl COMMAND [ARGS] ... (find S | ports | status | select N | press | press-command |"
        " wait-status TEXT S | watch MS | close | wait-gone S | box S | box-ok | no-box | rect | forget-ports |"
        " probe-ports | describe N | sleep MS)");
    return 2;
}

// One command: its name, how many arguments follow it, and what it does
// with them.
struct command {
    const char* name;
    int args;
    bool (*run)(char** args);
};

bool cmd_sleep(char** a)
{
    Sleep(static_cast<DWORD>(seconds_arg(a[0])));
    say("slept");
    return true;
}

const command commands[] = {
    {"find", 1, [](char** a) { return cmd_find(seconds_arg(a[0])); }},
    {"ports", 0, [](char**) { return cmd_ports(); }},
    {"status", 0, [](char**) { return cmd_status(); }},
    {"select", 1, [](char** a) { return cmd_select(a[0]); }},
    {"press", 0, [](char**) { return cmd_press(false); }},
    {"press-command", 0, [](char**) { return cmd_press(true); }},
    {"wait-status", 2, [](char** a) { return cmd_wait_status(a[0], seconds_arg(a[1])); }},
    {"watch", 1, [](char** a) { return cmd_watch(seconds_arg(a[0])); }},
    {"close", 0, [](char**) { return cmd_close(); }},
    {"wait-gone", 1, [](char** a) { return cmd_wait_gone(seconds_arg(a[0])); }},
    {"box", 1, [](char** a) { return cmd_box(seconds_arg(a[0])); }},
    {"box-ok", 0, [](char**) { return cmd_box_ok(); }},
    {"no-box", 0, [](char**) { return cmd_no_box(); }},
    {"forget-ports", 0, [](char**) { return cmd_forget_ports(); }},
    {"probe-ports", 0, [](char**) { return cmd_probe_ports(); }},
    {"describe", 1, [](char** a) { return cmd_describe(a[0]); }},
    {"rect", 0, [](char**) { return cmd_rect(); }},
    {"sleep", 1, cmd_sleep},
};

const command* command_named(const std::string& name)
{
    for (const command& c : commands)
        if (name == c.name)
            return &c;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    for (int i = 1; i < argc; ++i) {
        const command* c = command_named(argv[i]);
        if (c == nullptr || i + c->args >= argc)
            return usage();
        if (!c->run(argv + i + 1))
            return 1;
        i += c->args;
    }
    return 0;
}
