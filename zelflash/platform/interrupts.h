// Ctrl-C and the termination requests, counted instead of ending the
// process, and the threads that leave them to the main thread. One file per
// platform implements it (interrupts_posix.cpp, interrupts_win.cpp).
#pragma once

#include <functional>
#include <thread>

// From now on Ctrl-C and termination requests (SIGINT, SIGTERM and SIGHUP;
// the console control events on Windows) are counted instead of ending the
// process, and a closed output pipe no longer ends it either.
void interrupts_catch();
// How many have come; read from any thread.
int interrupts_count();
// A thread that leaves the interrupts to the main thread: a signal then
// always breaks the main thread out of a write that is stuck.
std::thread interrupts_start_thread(std::function<void()> body);
