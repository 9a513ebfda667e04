#include "line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

unique_fd::~unique_fd()
{
    reset();
}

int unique_fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void unique_fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

static bool fail(std::string* error, const std::string& what)
{
    *error = what + ": " + std::strerror(errno);
    return false;
}

static bool make_raw(int fd, speed_t speed, std::string* error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return fail(error, "tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail(error, "tcsetattr");
    return true;
}

static bool set_nonblocking(int fd, std::string* error)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail(error, "fcntl O_NONBLOCK");
    return true;
}

// Only a symlink (ours from an earlier run, say) may be replaced: never a file.
static bool place_link(const std::string& target, const std::string& link_path, std::string* error)
{
    struct stat st{};
    if (lstat(link_path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return fail(error, "not a symlink, left alone: " + link_path);
        }
        if (unlink(link_path.c_str()) != 0)
            return fail(error, "unlink " + link_path);
    }
    if (symlink(target.c_str(), link_path.c_str()) != 0)
        return fail(error, "symlink " + link_path);
    return true;
}

bool line_open_pty(line* t, const std::string& link_path, std::string* error)
{
    unique_fd master(posix_openpt(O_RDWR | O_NOCTTY));
    if (master.get() < 0)
        return fail(error, "posix_openpt");
    if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
        return fail(error, "grantpt/unlockpt");
    const char* name = ptsname(master.get());
    if (!name)
        return fail(error, "ptsname");
    std::string slave_path = name;
    unique_fd slave(::open(slave_path.c_str(), O_RDWR | O_NOCTTY));
    if (slave.get() < 0)
        return fail(error, "open " + slave_path);
    if (!make_raw(slave.get(), B115200, error) || !set_nonblocking(master.get(), error))
        return false;
    if (!link_path.empty() && !place_link(slave_path, link_path, error))
        return false;
    t->io = std::move(master);
    t->held_slave = std::move(slave);
    t->slave_path = slave_path;
    t->link_path = link_path;
    return true;
}

static speed_t speed_for(long baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
    }
}

bool line_open_device(line* t, const std::string& path, long baud, std::string* error)
{
    unique_fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0)
        return fail(error, "open " + path);
    if (!make_raw(fd.get(), speed_for(baud), error))
        return false;
    t->io = std::move(fd);
    t->slave_path = path;
    t->link_path.clear();
    return true;
}

void line_close(line* t)
{
    if (!t->link_path.empty())
        unlink(t->link_path.c_str());
    t->link_path.clear();
    t->held_slave.reset();
    t->io.reset();
}

std::string line_describe(const line* t)
{
    std::string text = "zelsim: listening on " + t->slave_path;
    if (!t->link_path.empty())
        text += " (link " + t->link_path + ")";
    return text;
}
