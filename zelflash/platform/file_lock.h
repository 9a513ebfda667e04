// The platform seam of the serial-number state file: a file made whole or not
// at all, held by one holder at a time, read whole, appended to, pushed
// through to the disk, and watched for being deleted or replaced.
// One file per platform implements it (file_lock_posix.cpp with flock,
// file_lock_win.cpp with LockFileEx).
//
// The lock belongs to the open file, not to the process: a second open of
// the same file is refused even in the process that holds the first, and
// the lock goes with the last close, a crash or kill -9 included.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum file_lock_result : int32_t {
    FILE_LOCK_TAKEN = 0,   // the file is open and ours
    FILE_LOCK_BUSY = 1,    // another holder has it
    FILE_LOCK_FAILED = 2,  // it could not be opened or locked; *error says why
    FILE_LOCK_MISSING = 3, // there is no file at the path
};

enum file_lock_made : int32_t {
    FILE_LOCK_MADE = 0,    // the new file is there, whole and on the disk
    FILE_LOCK_EXISTS = 1,  // a file is already there; nothing was changed
    FILE_LOCK_NOT_MADE = 2,  // *error says why; nothing is left behind
};

class file_lock {
public:
    file_lock() = default;
    ~file_lock();
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;

    // Opens the file at `path` for reading and appending (never creating
    // it) and takes its lock without waiting. Unless FILE_LOCK_TAKEN the
    // file is closed again; *error holds the system's reason for a failure.
    // On Windows the open file can be neither deleted nor renamed while held.
    file_lock_result open(const std::string& path, std::string* error);
    // True while `path` still names the file held open: not deleted, not
    // renamed away, not replaced by another file (an editor saving by
    // rename). false with *error saying what became of it.
    bool still_at(const std::string& path, std::string* error) const;
    // The whole file as it is now; false with *error, or when it holds more
    // than max_size bytes.
    bool read_all(uint64_t max_size, std::string* text, std::string* error) const;
    // Appends `text` at the end with one write: all of it, or, when the
    // write fails or falls short, nothing (what a short write left is cut
    // off again). false with *error.
    bool append(std::string_view text, std::string* error);
    // Pushes what was appended through to the disk (fsync; FlushFileBuffers).
    bool sync(std::string* error);

private:
    intptr_t handle_ = -1;  // a descriptor on POSIX, a HANDLE on Windows
};

// Makes a file at `path` holding `text`, all or nothing: written to a
// temporary file beside it, synced, then linked into place only if no file
// is there (never replacing one), and the folder synced.
file_lock_made file_lock_make(const std::string& path, std::string_view text, std::string* error);

// Whether a file could be made in the folder of `path` (or `path` appended
// to, when it exists): false with *error when the folder is missing, not
// writable, or on a read-only file system. Nothing is left behind.
bool file_lock_writable(const std::string& path, std::string* error);

// Makes a new file's directory entry durable (fsync of the directory that
// holds `file_path`). Windows journals its directory entries with the file's
// own flush, so there it has nothing to do.
bool file_lock_sync_directory(const std::string& file_path, std::string* error);

// This process's id, for the records that say who holds a file.
uint64_t file_lock_process_id();

// For tests: before each append, `keep` is asked how many of its bytes may
// reach the file; fewer than all mimics a power loss in the middle of the
// write: that many are written, nothing is cut off again, and the append
// fails. An empty function (the default) keeps them all.
void file_lock_set_append_cut(std::function<size_t(size_t size)> keep);
