// Inside a job: for the job and run modules (and the core's own tests),
// never for a front end, which holds a job only through job.h.
//
// The four layers are named as the stack holds them, top to bottom:
//   prog (lprog) -> guard (lguard) -> pkt (lpkt) -> link (ser)
// The guard is left out of the stack of an unguarded job; it is still
// there to be asked, and never has anything in flight.
#pragma once

#include <cstdint>

#include "job.h"
#include "plm.h"
#include "ser.h"

struct layer;
struct mlb;

struct job {
    job_config config;  // as the front end asked; addr and chunk as started
    ser_port port;      // the open port with its saved settings; ser_close ends it
    uint8_t* filebuf;   // private copy of the image, padded to whole chunks
    plm stack;          // the layers below, linked top to bottom
    mlb* mbuf;          // the one message buffer, both directions
    layer* prog;        // the programming layer, asked whether it is done
    layer* guard;       // the acknowledgement guard
    layer* pkt;         // the packet layer, whose dropped frames count
    layer* link;        // the serial link layer, bound to `port`
};
