// The board log's file on Windows.
#include "platform/log_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

int log_file_open(const std::string& path, std::string* error)
{
    int fd = _open(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        *error = std::strerror(errno);
    return fd;
}

bool log_file_ends_torn(int fd)
{
    __int64 size = _filelengthi64(fd);
    char last = '\n';
    if (size <= 0 || _lseeki64(fd, size - 1, SEEK_SET) < 0)
        return false;
    return _read(fd, &last, 1) == 1 && last != '\n';
}

bool log_file_append(int fd, std::string_view text, std::string* error)
{
    __int64 before = _filelengthi64(fd);
    int k = _write(fd, text.data(), static_cast<unsigned>(text.size()));
    if (k == static_cast<int>(text.size()))
        return true;
    if (k < 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (before >= 0)
        _chsize_s(fd, before);
    *error = "only " + std::to_string(k) + " of " + std::to_string(text.size()) + " bytes written (is the disk full?)";
    return false;
}

bool log_file_sync(int fd, std::string* error)
{
    if (_commit(fd) == 0 || errno == EBADF)
        return true;
    *error = std::strerror(errno);
    return false;
}

bool log_file_close(int fd, std::string* error)
{
    if (_close(fd) == 0)
        return true;
    *error = std::strerror(errno);
    return false;
}

bool log_file_utc(std::time_t t, std::tm* out)
{
    return gmtime_s(out, &t) == 0;
}
