// The platform seam for the application: the program's own image, error
// codes and their descriptions, the alert box, the speaker and the status
// field. One file per platform implements it (host_win.cpp, host_posix.cpp).
//
// As with `port`, the operations are reached through the table `host`, which
// starts out as the platform's own; tests replace single entries.
#pragma once

#include <cstdint>

struct host_ops {
    // The embedded device image and its size; null when it is missing.
    const uint8_t* (*image)(uint32_t* size);
    // The last platform error code of this thread (GetLastError, errno); 0: none.
    uint32_t (*last_error)();
    // Writes the platform's description of `code` into dst, at most room - 1
    // characters and a NUL; returns the characters written (0: none).
    uint32_t (*describe_error)(uint32_t code, char* dst, uint32_t room);
    // Shows `text` to the user under `caption` and returns once it is dismissed.
    void (*alert)(const char* text, const char* caption);
    // Sounds a tone and returns when it has ended.
    void (*beep)(uint32_t hz, uint32_t ms);
    // Shows a short text in the status field of the main window.
    void (*show_status)(const char* text);
};

// The operations in force; the platform's own at start.
extern host_ops host;

// The platform's own operations, for restoring `host` after a test.
const host_ops& host_platform();
