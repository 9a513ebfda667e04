// The application's platform operations on POSIX systems, where there is no
// window: alerts go to standard error, status texts to standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host.h"

// The device image, linked in by the build.
extern const uint8_t zel_image_data[];
extern const uint32_t zel_image_size;

static const uint8_t* posix_image(uint32_t* size)
{
    *size = zel_image_size;
    return zel_image_data;
}

static uint32_t posix_last_error()
{
    return static_cast<uint32_t>(errno);
}

static uint32_t posix_describe_error(uint32_t code, char* dst, uint32_t room)
{
    if (room == 0)
        return 0;
    int n = std::snprintf(dst, room, "%s\n", std::strerror(static_cast<int>(code)));
    if (n < 0)
        return 0;
    return static_cast<uint32_t>(n) < room ? static_cast<uint32_t>(n) : room - 1;
}

static void posix_alert(const char* text, const char* caption)
{
    std::fprintf(stderr, "%s\n%s", caption, text);
    std::fflush(stderr);
}

static void posix_beep(uint32_t, uint32_t) {}

static void posix_show_status(const char* text)
{
    std::printf("[%s]\n", text);
    std::fflush(stdout);
}

static const host_ops platform = {
    posix_image, posix_last_error, posix_describe_error, posix_alert, posix_beep, posix_show_status,
};

host_ops host = platform;

const host_ops& host_platform()
{
    return platform;
}
