// The board log's file on POSIX systems.
#include "platform/log_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int log_file_open(const std::string& path, std::string* error)
{
    // Read as well, for its last byte; a log one may only write is still a log.
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        *error = std::strerror(errno);
    return fd;
}

bool log_file_ends_torn(int fd)
{
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return false;
    char last = '\n';
    return pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

bool log_file_append(int fd, std::string_view text, std::string* error)
{
    struct stat st{};
    bool file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ssize_t k = -1;
    do
        k = ::write(fd, text.data(), text.size());
    while (k < 0 && errno == EINTR);  // nothing written: the line can still go whole
    if (k == static_cast<ssize_t>(text.size()))
        return true;
    if (k < 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (file && ftruncate(fd, st.st_size) != 0) {
        *error = "only " + std::to_string(k) + " of " + std::to_string(text.size()) +
                 " bytes written, and the part could not be cut off again: " + std::strerror(errno);
        return false;
    }
    *error = "only " + std::to_string(k) + " of " + std::to_string(text.size()) + " bytes written (is the disk full?)";
    return false;
}

bool log_file_sync(int fd, std::string* error)
{
    // EINVAL and EROFS: a special file that has no disk to sync to.
    if (fsync(fd) == 0 || errno == EINVAL || errno == EROFS)
        return true;
    *error = std::strerror(errno);
    return false;
}

bool log_file_close(int fd, std::string* error)
{
    // After EINTR the descriptor is gone on Linux; what was written is not in doubt.
    if (::close(fd) == 0 || errno == EINTR)
        return true;
    *error = std::strerror(errno);
    return false;
}

bool log_file_utc(std::time_t t, std::tm* out)
{
    return gmtime_r(&t, out) != nullptr;
}
