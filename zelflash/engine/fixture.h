// A fixture's slots at work: each slot's port held open for the whole run,
// looked at on a thread of its own as its slot_logic says (a loader probe,
// or a sample of the presence line), and lent to the board's job while a
// board is programmed. An idle slot sleeps between its looks: a probe is a
// frame out and a short wait for the answer, four times a second.
//
// The station's (main) thread takes the news and the ready slots, lends
// their ports to the session's boards and gives them back when a board ends.
// A port is only ever used by one thread: the slot's while it looks, the
// board's while it runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/slot.h"
#include "job.h"
#include "platform/ports.h"
#include "port_owner.h"

struct fixture_rules {
    slot_timing timing;
    uint32_t line = 0;  // slot_signal::line: the PORT_LINE_* bit the fixture's switch drives
    uint32_t baud = 115200;
    job_seams seams;
    std::function<void()> wake;  // called on a slot's thread when the station has news to take
};

// What a slot told, for the station to show and log.
struct fixture_news {
    int slot = 0;
    slot_news news = slot_news::none;
};

class fixture {
public:
    // The slots are `ports`, numbered from 1 in this order.
    fixture(const fixture_rules& rules, const std::vector<port_info>& ports);
    // The threads stopped, each after its look in flight, and the ports put back.
    ~fixture();
    fixture(const fixture&) = delete;
    fixture& operator=(const fixture&) = delete;

    // Opens every slot's port, then starts the slots' threads; false with
    // the first port that does not open, or whose presence line cannot be
    // read, said in *error: the fixture must be complete at the start.
    bool start(std::string* error);
    // Enter was pressed: empty slots look for a board.
    void enter();
    // What the slots told since the last call, in order.
    std::vector<fixture_news> take_news();
    // The slots with a board present, waiting to be started.
    std::vector<int> ready() const;
    // The port of a ready slot, lent to its board: the slot is the board's
    // until given back().
    ser_port lend(int slot);
    // The board on `slot` ended: the port is the slot's again.
    void give_back(int slot, bool programmed);

    size_t size() const { return slots_.size(); }
    const port_info& port(int slot) const;
    // The slot as it stands, without its board.
    slot_view view(int slot) const;

private:
    struct place {
        int number = 0;
        port_info info;
        slot_logic logic;
        port_owner owner;
        std::condition_variable poke;
        std::deque<slot_news> news;
        std::thread thread;
        place(int n, const port_info& p, const fixture_rules& r)
            : number(n), info(p), logic(r.timing), owner(*r.seams.ops) {}
    };

    bool open(place& p, std::string* error);
    slot_look look(place& p);
    void run(place& p);
    void step(place& p, std::unique_lock<std::mutex>& hold);
    place& at(int slot) const;

    const fixture_rules rules_;
    std::vector<std::unique_ptr<place>> slots_;
    mutable std::mutex lock_;  // guards every place's logic and news, and stopping_
    bool stopping_ = false;
};

// How long a fixture's board may stay silent while it is written, at `baud`,
// before its run ends "board left its slot": half the time that makes an
// idle board gone, and two chunks' time on the line. A board pulled and
// another seated in its place would otherwise take the rest of the image
// unerased.
uint32_t fixture_silence_ms(uint32_t leave_ms, uint32_t baud);
// How long a probe waits for the answer at `baud`: a question and an answer
// on the line, and the device's moment.
uint32_t fixture_probe_wait_ms(uint32_t baud);
