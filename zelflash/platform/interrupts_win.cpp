// The interrupts on Windows: console control events, counted by their handler.
#include "platform/interrupts.h"

#include <atomic>
#include <windows.h>

static std::atomic<int> interrupts{0};

// Ctrl-C, Ctrl-Break and the close of the console window are counted; the
// programming threads stop after their exchange in flight and put the ports
// back.
static BOOL WINAPI count_interrupt(DWORD)
{
    interrupts.fetch_add(1);
    return TRUE;
}

void interrupts_catch()
{
    SetConsoleCtrlHandler(count_interrupt, TRUE);
}

int interrupts_count()
{
    return interrupts.load();
}

// The control handler runs on a thread of its own here; no thread takes it.
std::thread interrupts_start_thread(std::function<void()> body)
{
    return std::thread(std::move(body));
}
