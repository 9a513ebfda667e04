// The device's end of the serial line: either a pseudo-terminal whose other
// end the tool opens (through a symlink at a path the caller chooses), or a
// real serial device.
//
// The pty's master stays open for the simulator's whole life, and so does a
// descriptor of the slave that the simulator itself holds and never reads:
// while any descriptor of the slave is open, the tool can close and reopen
// its end (wine does so when it opens a port) without the pty hanging up.
#pragma once

#include <string>

// One owned file descriptor, closed on destruction.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    ~unique_fd();
    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct line {
    unique_fd io;            // read and written by the device: pty master or serial device
    unique_fd held_slave;    // pty only: keeps the slave alive between tool opens
    std::string slave_path;  // pty only: /dev/pts/N
    std::string link_path;   // symlink made to the slave, removed on close
};

// Opens a pty pair, puts the slave in raw mode and, when link_path is not
// empty, points a symlink there at the slave (an existing symlink is
// replaced; any other file there is an error). The master is non-blocking.
// Returns false with *error set on failure.
bool line_open_pty(line* t, const std::string& link_path, std::string* error);

// Opens a serial device, raw, at baud when that is a standard speed (else
// 115200), non-blocking.
bool line_open_device(line* t, const std::string& path, long baud, std::string* error);

// Removes the symlink, if one was made, and closes everything.
void line_close(line* t);

// One line for the user: where the tool should connect.
std::string line_describe(const line* t);
