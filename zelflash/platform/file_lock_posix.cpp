// The state file's seam on POSIX: flock on the open file description, so a
// second open refuses even in the same process, and fsync.
#include "platform/file_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::mutex cut_mutex;
std::function<size_t(size_t)> append_cut;

size_t bytes_to_keep(size_t size)
{
    std::lock_guard<std::mutex> hold(cut_mutex);
    return append_cut ? std::min(append_cut(size), size) : size;
}

std::string system_error()
{
    return std::strerror(errno);
}

// The temporary file a new state file is written to before it is linked
// into place: beside it, so that the link stays in one file system.
std::string temporary_beside(const std::string& path)
{
    return path + ".new-" + std::to_string(getpid());
}

bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t k = ::write(fd, text.data(), text.size());
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(k));
    }
    return true;
}

}  // namespace

file_lock::~file_lock()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

file_lock_result file_lock::open(const std::string& path, std::string* error)
{
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        bool missing = errno == ENOENT;
        *error = system_error();
        return missing ? FILE_LOCK_MISSING : FILE_LOCK_FAILED;
    }
    int rc = 0;
    do
        rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        bool busy = errno == EWOULDBLOCK;
        *error = system_error();
        ::close(fd);
        return busy ? FILE_LOCK_BUSY : FILE_LOCK_FAILED;
    }
    handle_ = fd;
    return FILE_LOCK_TAKEN;
}

bool file_lock::still_at(const std::string& path, std::string* error) const
{
    struct stat held{}, named{};
    if (fstat(static_cast<int>(handle_), &held) != 0) {
        *error = system_error();
        return false;
    }
    if (::stat(path.c_str(), &named) != 0) {
        bool gone = errno == ENOENT;
        *error = !gone ? system_error() : held.st_nlink == 0 ? "it was deleted" : "it was renamed or moved away";
        return false;
    }
    if (named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
        *error = "another file took its place (an editor that saves by renaming does that)";
        return false;
    }
    return true;
}

bool file_lock::read_all(uint64_t max_size, std::string* text, std::string* error) const
{
    int fd = static_cast<int>(handle_);
    struct stat st{};
    if (fstat(fd, &st) != 0) {
        *error = system_error();
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > max_size) {
        *error = "the file holds " + std::to_string(st.st_size) + " bytes, more than the " + std::to_string(max_size) +
                 " a state file may";
        return false;
    }
    std::string all(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < all.size()) {
        ssize_t k = pread(fd, all.data() + done, all.size() - done, static_cast<off_t>(done));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            *error = k < 0 ? system_error() : "the file became shorter while it was read";
            return false;
        }
        done += static_cast<size_t>(k);
    }
    *text = std::move(all);
    return true;
}

bool file_lock::append(std::string_view text, std::string* error)
{
    int fd = static_cast<int>(handle_);
    struct stat st{};
    if (fstat(fd, &st) != 0) {
        *error = system_error();
        return false;
    }
    size_t keep = bytes_to_keep(text.size());
    ssize_t k = -1;
    do
        k = ::write(fd, text.data(), keep);
    while (k < 0 && errno == EINTR);  // nothing written: the record can still go whole
    if (keep < text.size()) {
        *error = "the write was cut short after " + std::to_string(keep) + " bytes";
        return false;
    }
    if (k == static_cast<ssize_t>(text.size()))
        return true;
    if (k < 0) {
        *error = system_error();
        return false;
    }
    std::string part = "only " + std::to_string(k) + " of " + std::to_string(text.size()) + " bytes written";
    *error = ftruncate(fd, st.st_size) == 0 ? part + " (is the disk full?)"
                                            : part + ", and they could not be cut off again: " + system_error();
    return false;
}

bool file_lock::sync(std::string* error)
{
    if (fsync(static_cast<int>(handle_)) == 0)
        return true;
    *error = system_error();
    return false;
}

file_lock_made file_lock_make(const std::string& path, std::string_view text, std::string* error)
{
    std::string temporary = temporary_beside(path);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = system_error();
        return FILE_LOCK_NOT_MADE;
    }
    bool written = write_all(fd, text) && fsync(fd) == 0;
    *error = written ? "" : system_error();
    ::close(fd);
    // link() refuses to replace: the check for a file there and the making
    // of the new one are one step.
    bool linked = written && ::link(temporary.c_str(), path.c_str()) == 0;
    bool exists = written && !linked && errno == EEXIST;
    if (written && !linked && !exists)
        *error = system_error();
    ::unlink(temporary.c_str());
    if (exists)
        return FILE_LOCK_EXISTS;
    if (linked && !file_lock_sync_directory(path, error))
        return FILE_LOCK_NOT_MADE;
    return linked ? FILE_LOCK_MADE : FILE_LOCK_NOT_MADE;
}

bool file_lock_writable(const std::string& path, std::string* error)
{
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::string name = folder.empty() ? "." : folder.string();
    bool exists = ::access(path.c_str(), F_OK) == 0;
    const std::string& target = exists ? path : name;
    struct statvfs fs{};
    if (statvfs(name.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) {
        *error = name + " is on a read-only file system";
        return false;
    }
    if (::access(target.c_str(), W_OK) != 0) {
        *error = target + (errno == ENOENT ? ": no such folder" : ": cannot be written: " + system_error());
        return false;
    }
    return true;
}

bool file_lock_sync_directory(const std::string& file_path, std::string* error)
{
    std::filesystem::path folder = std::filesystem::path(file_path).parent_path();
    std::string name = folder.empty() ? "." : folder.string();
    int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // EINVAL and EROFS: a file system that has no directory to sync.
    bool synced = fd >= 0 && (fsync(fd) == 0 || errno == EINVAL || errno == EROFS);
    if (!synced)
        *error = name + ": " + system_error();
    if (fd >= 0)
        ::close(fd);
    return synced;
}

uint64_t file_lock_process_id()
{
    return static_cast<uint64_t>(getpid());
}

void file_lock_set_append_cut(std::function<size_t(size_t)> keep)
{
    std::lock_guard<std::mutex> hold(cut_mutex);
    append_cut = std::move(keep);
}
