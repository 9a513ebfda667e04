// The file under the board log: append-only, each record pushed through to
// the disk, as a C runtime descriptor; and the UTC of the records' times.
// One file per platform implements it (log_file_posix.cpp, log_file_win.cpp).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// Opens (creating) `path` for appending; -1 with *error.
int log_file_open(const std::string& path, std::string* error);
// True when the file holds something and its last byte is not a line end:
// a record cut short by a crash or a full disk.
bool log_file_ends_torn(int fd);
// Appends `text` with one write: the whole of it, or, when the write fails
// or falls short, nothing (what a short write left is cut off again). false
// with *error.
bool log_file_append(int fd, std::string_view text, std::string* error);
// Pushes what was appended through to the disk, so that a crash or a power
// cut loses none of it; a file that cannot be synced by nature (a device
// such as /dev/null) counts as synced. false with *error.
bool log_file_sync(int fd, std::string* error);
// false with *error when the close reports a failed write.
bool log_file_close(int fd, std::string* error);

// Broken-down UTC of `t`, safe beside other threads' use of the C library's
// time conversions.
bool log_file_utc(std::time_t t, std::tm* out);
