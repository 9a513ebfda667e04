// Serial link layer: the bottom of the protocol stack. Every message handed
// down leaves as one SLIP frame; every receive reads one frame back byte by
// byte under the port's read time-out, then empties the line before passing
// the frame up. The layer has no private record of its own: its p_ is the
// ser_port it was bound to, which its owner keeps; null while unbound.
//
//   frame on the line: | END | message, C0 -> ESC ESC_END, DB -> ESC ESC_ESC | END |
//   length: 2 + n + (number of message bytes that are C0 or DB); n >= 1
//
// The module also configures a port for the protocol (115200 8N1, no flow
// control, the read time-out), keeping the port's earlier settings in the
// port's own record so that its one teardown (ser_close) can put them back.
//
// Every port access goes through the operations the record carries.
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
    SER_DRAIN_BLOCK = 4096,      // bytes asked for per read while draining
    SER_DRAIN_MAX_MS = 1000,     // the drain stops after this long...
    SER_DRAIN_MAX_BYTES = 65536, // ...or after this many bytes, whichever comes first
    SER_DRAIN_INTERVAL_MS = 10,  // drain read: gap between bytes that ends it
    SER_DRAIN_TOTAL_MS = 10,     // drain read: total wait
};

// An open port as the protocol reaches it: the operations (the platform's,
// or a test's fake), the handle they act on, and the settings the port had
// before ser_config first changed them. Each port has its own record, held by
// whoever owns the port (a port_owner, then the job it is handed to): no
// table and no lock is shared between ports, so one port's slow driver holds
// up no other.
struct ser_port {
    const port_ops* ops;
    port_handle handle;     // null when no port is held
    int saved;              // 1 once ser_config has kept the settings below
    DCB dcb;                // the line settings from before the first ser_config
    COMMTIMEOUTS timeouts;  // the time-outs likewise
};

// Layer operations. The record bound must outlive the layer's use.
void ser_bind(layer* t, ser_port* port);
void ser_tx(layer* t, mlb* m);
void ser_rx(layer* t, mlb* m);
// As ser_rx, but the line is emptied of what has already arrived only,
// without waiting for more: for front ends that poll back to back. A byte
// that comes later spoils the next frame read, which costs one retry.
void ser_rx_arrived(layer* t, mlb* m);

// Port operations. 0 success, -1 failure unless said otherwise.
// Keeps the port's settings in t (the first time only, so that they stay
// those of before it was ever configured) and sets the line up; -1, with
// nothing kept or changed, when the settings cannot be read.
int ser_config(ser_port* t, int32_t baud, uint32_t timeout_us);
// The one teardown of a port: its kept settings put back (when it has any),
// then the port closed; t holds no port afterwards. Nothing when it holds none.
void ser_close(ser_port* t);
int ser_getc(const ser_port* t);  // 0..255, or -1 when nothing was read
// Sets the wait for each received byte, as ser_config does; -1 when the
// port's time-outs cannot be read or set.
int ser_set_timeout(const ser_port* t, uint32_t timeout_ms);
// Throws away what has arrived on the line, without waiting for more.
void ser_discard(const ser_port* t);
// -1 refused (too long for one frame) or the port stopped taking bytes;
// 0 for an empty message (nothing written); else the frame length written.
int ser_send_frame(const ser_port* t, const uint8_t* bytes, int32_t n);
// Bytes of a complete frame decoded into dst (at least 1), or 0. dst has room
// for max bytes; a frame delivers at most max - 1. A call reads at most
// 2 * max bytes (the most such a frame takes on the line, every byte escaped,
// with its two END bytes): a line flooding END bytes or noise gives 0 then.
int ser_recv_frame(const ser_port* t, uint8_t* dst, int32_t max);
