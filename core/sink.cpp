#include "sink.h"

#include <cstdarg>
#include <cstdio>

static void console_text(void*, const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

const sink sink_console = {nullptr, console_text, nullptr, nullptr};

// Room for the longest console text of the job, with the port name in it.
enum sink_limit : int { SINK_TEXT_MAX = 512 };

void sink_printf(const sink* s, const char* format, ...)
{
    if (s == nullptr)
        s = &sink_console;
    if (s->text == nullptr)
        return;
    char text[SINK_TEXT_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    s->text(s->ctx, text);
}

void sink_report(const sink* s, const sink_progress* p)
{
    if (s != nullptr && s->progress != nullptr)
        s->progress(s->ctx, p);
}

int sink_cancelled(const sink* s)
{
    return s != nullptr && s->cancelled != nullptr && s->cancelled(s->ctx) ? 1 : 0;
}
