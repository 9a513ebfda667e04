// A journal on the disk, held by one station at a time: the state file of a
// station, or the journal of a lot's station. Opened under its lock (a
// second holder is refused, naming the pid of the first), read whole,
// appended to one synced record at a time, and watched for being deleted
// or replaced under the station. A record that could not be written stops
// the journal for good: a station that cannot record hands nothing out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class file_lock;

class journal_file {
public:
    explicit journal_file(std::string path);
    ~journal_file();
    journal_file(const journal_file&) = delete;
    journal_file& operator=(const journal_file&) = delete;

    const std::string& path() const { return path_; }
    bool is_open() const { return file_ != nullptr; }

    // Opens and locks the file and reads it whole into `text`. false with a
    // one-line error naming the file: missing (`missing` says what to do),
    // in use, or unreadable; the file is not held then.
    bool open(const std::string& missing, std::string* text, std::string* error);
    void close();
    // Appends one record and syncs it. false with an error saying that no
    // value is handed out from here on.
    bool record(const std::string& line, std::string* error);
    // Makes a new file's entry in its folder durable.
    bool sync_directory(std::string* error);
    // false with the error a reservation gives: not open, or a record failed.
    bool writable(std::string* error) const;
    // false when the path no longer names the file held (deleted, renamed,
    // replaced): nothing is handed out from then on.
    bool in_place(std::string* error);
    // When the path no longer names the file held, saves what the held file
    // says beside the path and says where; else empty.
    std::string save_if_lost();

private:
    const std::string path_;
    std::unique_ptr<file_lock> file_;
    std::string broken_;  // why the file can no longer be written; empty while it can
};
