#include "zel.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "layer.h"
#include "lguard.h"
#include "lpkt.h"
#include "lprog.h"
#include "mlb.h"
#include "plm.h"
#include "ser.h"
#include "sink.h"
#include "zassert.h"

job zel_job;

// The one buffer takes a whole frame as the serial layer receives it, and a
// command with the packet layer's header in front of it.
static_assert(int32_t{ZEL_BUFFER_SIZE} >= int32_t{SER_FRAME_MAX}, "the message buffer must hold a received frame");
static_assert(int32_t{ZEL_HEADROOM} >= int32_t{LPKT_HEADER_SIZE}, "the headroom must hold the tagged header");
static_assert(uint32_t{LGUARD_TIMEOUT_MS} * 1000 == uint32_t{ZEL_READ_TIMEOUT_US}, "the guard's idea of late is the reply time-out");

static const char fatal_caption[] = "Terminate Program";
static const char fatal_closing[] = "\n\n The program will now abort\n\n\n";

// The image copy covers a whole number of chunks, so the last PROGRAM never
// reads past it; the padding is erased-flash 0xFF, so it clears no bits.
static uint8_t* copy_image(const uint8_t* image, uint32_t length, int chunk)
{
    size_t c = static_cast<size_t>(chunk);
    size_t padded = (size_t{length} + c - 1) / c * c;
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(padded));
    if (!copy)
        zel_fatal("Not enough memory for a copy of the flash image");
    std::memcpy(copy, image, length);
    std::memset(copy + length, 0xFF, padded - length);
    return copy;
}

static void build_stack(job* t)
{
    t->stack = plm_alloc();
    t->mbuf = mlb_alloc(ZEL_BUFFER_SIZE);
    layer* pkt = lpkt_alloc();
    lpkt_init(pkt);
    t->prog = lprog_alloc();
    lprog_init(t->prog);
    lprog_set_sink(t->prog, t->out);
    t->guard = lguard_alloc();
    lguard_init(t->guard);
    t->link = layer_alloc();
    ser_bind(t->link, t->handle);
    if (t->quick)
        t->link->rx = ser_rx_arrived;
    plm_insert(t->stack, t->prog, PLM_TOP, 0);
    plm_insert(t->stack, t->guard, PLM_BELOW, t->prog);
    plm_insert(t->stack, pkt, PLM_BELOW, t->guard);
    plm_insert(t->stack, t->link, PLM_BELOW, pkt);
    lpkt_set_peer(pkt, 0);
}

int zel_open(job* t)
{
    if (t->open != 0)
        return 0;
    sink_printf(t->out, " . Opening serial port %s at %ld baud\n", t->port, static_cast<long>(t->baud));
    t->handle = port.open(t->port);
    if (!t->handle)
        zel_fatal("Unable to open serial port. In use already, or not present");
    ser_config(t->handle, t->baud, ZEL_READ_TIMEOUT_US);

    uint32_t length = 0;
    t->filebuf = const_cast<uint8_t*>(host.image(&length));
    ZEL_ASSERT(t->filebuf);
    ZEL_ASSERT(length);
    if (length <= ZEL_SMALL_IMAGE)
        t->addr = ZEL_SMALL_IMAGE_ADDR;
    zel_start(t, t->filebuf, length);
    return 0;
}

void zel_start(job* t, const uint8_t* image, uint32_t length)
{
    ZEL_ASSERT(image);
    ZEL_ASSERT(length);
    ZEL_ASSERT(t->chunk > 0);
    t->filebuf = copy_image(image, length, t->chunk);
    sink_printf(t->out, "\nFlash Image Size %lx\n", static_cast<unsigned long>(length));
    build_stack(t);
    // Whatever the device sent before we spoke (an answer from an earlier
    // session) must not be taken for the answer to ERASE.
    ser_discard(t->handle);
    lprog_start(t->prog, t->filebuf, length, t->addr, t->chunk);
    t->open = 1;
}

static void free_layer(layer* l)
{
    if (l == nullptr)
        return;
    std::free(l->p_);
    std::free(l);
}

void zel_close(job* t)
{
    if (t->handle) {
        ser_restore(t->handle);
        ser_forget(t->handle);
        port.close(t->handle);
    }
    if (t->stack) {
        layer* pkt = t->guard ? t->guard->lower : nullptr;
        free_layer(t->prog);
        free_layer(t->guard);
        free_layer(pkt);
        std::free(t->link);  // its p_ is the port handle, closed above
        std::free(t->stack);
    }
    std::free(t->mbuf);
    std::free(t->filebuf);
    t->open = 0;
    t->handle = nullptr;
    t->filebuf = nullptr;
    t->stack = nullptr;
    t->mbuf = nullptr;
    t->prog = nullptr;
    t->guard = nullptr;
    t->link = nullptr;
}

int zel_poll(job* t)
{
    if (t->open == 0)
        return 0;
    mlb_reset(t->mbuf, 0, ZEL_HEADROOM);
    if (!lguard_settling(t->guard))
        plm_tx(t->stack, t->mbuf);
    plm_rx(t->stack, t->mbuf);
    return lprog_done(t->prog);
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
