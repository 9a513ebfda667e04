// Serial link layer: the bottom of the protocol stack. Every message handed
// down leaves as one SLIP frame; every receive reads one frame back byte by
// byte under the port's read time-out, then empties the line before passing
// the frame up. The layer has no private record: its p_ is the port handle
// itself, null while the layer is unbound.
//
//   frame on the line: | END | message, C0 -> ESC ESC_END, DB -> ESC ESC_ESC | END |
//   length: 2 + n + (number of message bytes that are C0 or DB); n >= 1
//
// The module also configures a port for the protocol (115200 8N1, no flow
// control, the read time-out) and remembers each port's earlier settings in
// the saved-settings table so that they can be put back.
//
// Every port access goes through the `port` table of port.h.
#pragma once

#include <cstdint>

#include "port.h"

struct layer;
struct mlb;

// The special bytes of SLIP framing.
enum ser_slip_byte : uint8_t {
    SER_END = 0xC0,      // frame delimiter: opens and closes every frame
    SER_ESC = 0xDB,      // escape: the next byte stands for a data byte
    SER_ESC_END = 0xDC,  // after ESC: the data byte 0xC0
    SER_ESC_ESC = 0xDD,  // after ESC: the data byte 0xDB
};

enum ser_limit : int32_t {
    SER_FRAME_MAX = 10000,       // bytes of a frame as written; also the receive buffer
    SER_SETTINGS_MAX = 256,      // entries of the saved-settings table
    SER_DRAIN_BLOCK = 4096,      // bytes asked for per read while draining
    SER_DRAIN_MAX_MS = 1000,     // the drain stops after this long...
    SER_DRAIN_MAX_BYTES = 65536, // ...or after this many bytes, whichever comes first
    SER_DRAIN_INTERVAL_MS = 10,  // drain read: gap between bytes that ends it
    SER_DRAIN_TOTAL_MS = 10,     // drain read: total wait
};

// One saved-settings entry: a port's settings as they were before ser_config
// changed them.
struct ser_settings {
    port_handle handle;
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

// Layer operations.
void ser_bind(layer* t, port_handle handle);
void ser_unbind(layer* t);
void ser_tx(layer* t, mlb* m);
void ser_rx(layer* t, mlb* m);
// As ser_rx, but the line is emptied of what has already arrived only,
// without waiting for more: for front ends that poll back to back. A byte
// that comes later spoils the next frame read, which costs one retry.
void ser_rx_arrived(layer* t, mlb* m);

// Port operations. 0 success, -1 failure unless said otherwise.
int ser_config(port_handle handle, int32_t baud, uint32_t timeout_us);
int ser_find(port_handle handle);     // index of the port's first entry, or -1
int ser_restore(port_handle handle);  // -1 when the port has no saved settings
// Drops every entry of a port that is about to be closed, so that a later
// port given the same handle value does not inherit its settings.
void ser_forget(port_handle handle);
// The one teardown of a port ser_config set up: its saved settings put
// back (when it has any), then dropped, then the port closed. The handle is
// invalid afterwards.
void ser_close(port_handle handle);
int ser_getc(port_handle handle);     // 0..255, or -1 when nothing was read
// Sets the wait for each received byte, as ser_config does; -1 when the
// port's time-outs cannot be read or set.
int ser_set_timeout(port_handle handle, uint32_t timeout_ms);
// Throws away what has arrived on the line, without waiting for more.
void ser_discard(port_handle handle);
// -1 refused (too long for one frame) or the port stopped taking bytes;
// 0 for an empty message (nothing written); else the frame length written.
int ser_send_frame(port_handle handle, const uint8_t* bytes, int32_t n);
// Bytes of a complete frame decoded into dst (at least 1), or 0. dst has room
// for max bytes; a frame delivers at most max - 1. A call reads at most
// 2 * max bytes (the most such a frame takes on the line, every byte escaped,
// with its two END bytes): a line flooding END bytes or noise gives 0 then.
int ser_recv_frame(port_handle handle, uint8_t* dst, int32_t max);

// interval_ms 0: stores the current tick in *stamp and returns 1. Otherwise 1
// when more than interval_ms have passed since *stamp (wrap-safe), else 0.
int tick_check(uint32_t* stamp, uint32_t interval_ms);

// The saved-settings table is shared by every thread that runs a job; its
// operations take turns on one lock.
// Entries of the saved-settings table in use; for tests.
int ser_settings_count();
