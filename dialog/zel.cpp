#include "zel.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "port_owner.h"
#include "sink.h"
#include "zassert.h"

job* zel_job = nullptr;

static const char fatal_caption[] = "Terminate Program";
static const char fatal_closing[] = "\n\n The program will now abort\n\n\n";

int zel_open(job** t, const job_config& request)
{
    if (*t != nullptr)
        return 0;
    sink_printf(request.out, " . Opening serial port %s at %ld baud\n", request.port, static_cast<long>(request.baud));
    port_owner owner(*request.seams.ops);
    if (!owner.open(request.port))
        zel_fatal("Unable to open serial port. In use already, or not present");
    owner.configure(request.baud);  // a port whose settings cannot be read is used as it is

    uint32_t length = 0;
    const uint8_t* image = host.image(&length);
    ZEL_ASSERT(image);
    ZEL_ASSERT(length);
    job_config placed = request;
    if (length <= ZEL_SMALL_IMAGE)
        placed.addr = ZEL_SMALL_IMAGE_ADDR;
    *t = job_start(placed, owner.release(), image, length);  // the job's for the rest of the process
    if (*t == nullptr)
        zel_fatal("Not enough memory for a copy of the flash image");
    return 0;
}

int zel_poll(job* t)
{
    return job_poll(t);
}

// Appends to the fatal text at *pos, never past `end`, which leaves room for
// what still has to follow.
static void append(char* out, size_t* pos, size_t end, const char* format, ...)
{
    if (*pos >= end)
        return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out + *pos, end - *pos, format, args);
    va_end(args);
    if (n > 0)
        *pos += std::min(static_cast<size_t>(n), end - *pos - 1);
}

void zel_fatal_text(char* out, const char* what, uint32_t code)
{
    const size_t closing = sizeof fatal_closing - 1;
    const size_t end = ZEL_FATAL_SIZE - closing;  // room before the closing line
    size_t pos = 0;
    out[0] = '\0';
    append(out, &pos, end, "\n\nAn Error has occurred as follows:\n");
    append(out, &pos, end, "          %s\n", what);
    if (code != 0) {
        append(out, &pos, end, "Error number %ld reported\n", static_cast<long>(static_cast<int32_t>(code)));
        if (pos + 1 < end) {
            uint32_t n = host.describe_error(code, out + pos, static_cast<uint32_t>(end - pos));
            pos += std::min(size_t{n}, end - pos - 1);
        }
    }
    std::memcpy(out + pos, fatal_closing, closing + 1);
}

void zel_fatal(const char* what)
{
    uint32_t code = host.last_error();
    char text[ZEL_FATAL_SIZE];
    zel_fatal_text(text, what, code);
    host.alert(text, fatal_caption);
    host.beep(200, 1000);
    std::exit(1);
}

void zel_status(const char* format, ...)
{
    static char text[ZEL_STATUS_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    host.show_status(text);
}
