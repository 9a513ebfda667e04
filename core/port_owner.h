// The owner of an open serial port until a job takes it over. It opens the
// port, sets the line up for the protocol, keeping the settings it found in
// its own record, and, when it goes, puts them back and closes the port
// (ser_close, the same teardown job_close does) -- unless the port was
// released to a job, which then owns it, saved settings and all, and takes
// it down itself.
//
//   open() -> configure() -> release() to a job: the job's job_close ends it
//                        \-> the owner goes (or close()): ser_close ends it
#pragma once

#include <cstdint>

#include "port.h"
#include "ser.h"

class port_owner {
public:
    // The port is reached through `ops`, which must outlive the owner.
    explicit port_owner(const port_ops& ops) : port_{&ops, nullptr, 0, {}, {}} {}
    ~port_owner() { close(); }
    port_owner(const port_owner&) = delete;
    port_owner& operator=(const port_owner&) = delete;

    // Opens `name` exclusively. false when it does not open; the platform's
    // last-error code (errno, GetLastError) then still says why.
    bool open(const char* name);
    // Saves the port's settings and sets the line up for the protocol at
    // `baud`, with a job's wait for each received byte (ZEL_READ_TIMEOUT_US).
    // false when the port's settings cannot be read (no serial port);
    // nothing is saved then.
    bool configure(int32_t baud);
    // The open port; null when none is held.
    port_handle handle() const { return port_.handle; }
    const port_ops& ops() const { return *port_.ops; }
    // Hands the port, with the settings it had, over to a job (job_start),
    // whose job_close takes it down; the owner holds none afterwards.
    ser_port release();
    // The port, with the settings it had, for a job started lent
    // (job_config.lent): the owner keeps it, and neither lends it again nor
    // closes it while that job runs.
    ser_port lend() const { return port_; }
    // Puts the saved settings back and closes the port now; nothing when no
    // port is held.
    void close();

private:
    ser_port port_;  // holds a port from open() until release() or close()
};
