// A bounded run of a programming job: its exchanges back to back, with no
// timer between them, until the device has acknowledged RESET or a limit
// ends the run. A command is sent again while it goes unacknowledged, up to
// a number of attempts; the wait for the erase is bounded by time instead,
// since the device answers it only once the erase has finished. After each
// unacknowledged attempt the line is asked whether it is still there, so a
// lost device ends the run at once instead of costing every attempt.
//
// The job's sink hears of every exchange (progress) and is asked before
// each one whether to stop.
//
// The wait for an answer starts at the dialog program's 120 ms and grows to
// twice the slowest answer seen on the link, up to the guard's reply bound,
// so that a device that always takes 150 ms costs no repeat per chunk. The
// erase wait asks as often as the guard lets it (twice the time the device
// took to answer ERASE, at least 60 ms), so a device that ignores questions
// while it erases is asked again soon after the erase ends, and the guard's
// spread bound makes the answers it may still owe cost milliseconds. ERASE
// is given the guard's whole bound for it, which grows with the range, since
// a device may answer it only once it has erased: it goes out at most
// RUN_ERASE_ATTEMPTS times. While the guard settles the line or keeps a
// repeat back nothing is sent, and those polls count as no attempt.
#pragma once

#include <cstdint>

#include "lguard.h"

struct job;

// How a run ended. Each outcome has a key, written in records that later
// versions read and therefore never changed, and a text for people, which
// may be reworded; both are in run_outcome_names, the one place they are
// defined.
enum class run_outcome : int32_t {
    programmed = 0,     // every command acknowledged, RESET included
    unconfirmed = 1,    // image written and clock set; RESET never acknowledged
    no_answer = 2,      // a command unacknowledged after the attempts allowed
    erase_timeout = 3,  // the erase had not finished in the time allowed
    disconnected = 4,   // the line went away
    interrupted = 5,    // the front end asked to stop
    out_of_step = 6,    // an ACK came that no frame in flight asked for
    no_memory = 7,      // the job could not start: no memory for the image copy
    board_left = 8,     // the device went silent mid-run longer than allowed, or its
                        // presence line went off: another may stand in its place
};

struct run_outcome_name {
    run_outcome outcome;
    const char* key;   // stable: written in records
    const char* text;  // for people
};

// Every outcome, in the enum's order.
inline constexpr run_outcome_name run_outcome_names[] = {
    {run_outcome::programmed, "programmed", "programmed"},
    {run_outcome::unconfirmed, "unconfirmed", "programmed, restart not confirmed"},
    {run_outcome::no_answer, "no_answer", "no answer"},
    {run_outcome::erase_timeout, "erase_timeout", "erase not finished"},
    {run_outcome::disconnected, "disconnected", "device disconnected"},
    {run_outcome::interrupted, "interrupted", "interrupted"},
    {run_outcome::out_of_step, "out_of_step", "link out of step"},
    {run_outcome::no_memory, "no_memory", "not enough memory"},
    {run_outcome::board_left, "board_left", "board left its slot"},
};

enum run_constants : uint32_t {
    RUN_ERASE_ATTEMPTS = 2,  // ERASE frames at most: one may be lost
};

struct run_limits {
    uint32_t attempts;  // attempts of one command before the run ends (at least 1)
    uint32_t erase_ms;  // how long the wait for the erase may last
    // 0: none. Otherwise, while the image is written and the clock set, the
    // longest the device may go without acknowledging a command before the
    // run ends board_left. On a port that stays while boards change (a
    // fixture), a board pulled mid-run and another seated would otherwise
    // take the rest of the image unerased and be reported programmed. The
    // erase (a device may stay silent while it erases) and RESET (it may
    // restart before it answers) are not bounded.
    uint32_t silence_ms = 0;
};

struct run_result {
    run_outcome outcome;
    int32_t phase;      // the programming layer's phase when the run ended
    uint32_t addr;      // device address of the command in flight then
    uint32_t attempts;  // unacknowledged attempts of that command
    uint32_t retries;   // commands sent again over the whole run (erase wait excluded)
    uint32_t done;      // image bytes acknowledged
    uint32_t total;     // image bytes in all
    lguard_figures link{};    // the link's health, as the guard saw it
    uint32_t bad_frames = 0;  // frames dropped for a wrong check value or length
};

// Runs a started job (job_start) to its end.
run_result run_job(job* t, const run_limits* limits);

// The command a phase sends: "ERASE", "PROGRAM", "RTC_SET", "RESET"; "" when none.
const char* run_command(int32_t phase);
// The outcome's text for people and its key for records (run_outcome_names).
const char* run_outcome_text(run_outcome outcome);
const char* run_outcome_key(run_outcome outcome);
