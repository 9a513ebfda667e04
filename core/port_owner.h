// The owner of an open serial port until a job takes it over. It opens the
// port, sets the line up for the protocol, and, when it goes, puts the
// port's saved settings back and closes it (ser_close, the same teardown
// job_close does) -- unless the handle was released to a job, which then
// owns the port and takes it down itself.
//
//   open() -> configure() -> release() to a job: the job's job_close ends it
//                        \-> the owner goes (or close()): ser_close ends it
#pragma once

#include <cstdint>

#include "port.h"

class port_owner {
public:
    port_owner() = default;
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
    port_handle handle() const { return handle_; }
    // Hands the port over to a job, whose job_close takes it down; the owner
    // holds none afterwards.
    port_handle release();
    // Puts the saved settings back, forgets them and closes the port now;
    // nothing when no port is held.
    void close();

private:
    port_handle handle_ = nullptr;  // held from open() until release() or close()
};
