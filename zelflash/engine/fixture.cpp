#include "engine/fixture.h"

#include "platform/interrupts.h"

enum fixture_constants : uint32_t {
    PROBE_LINE_BYTES = 64,   // a probe and its answer on the line, SLIP and check values included
    CHUNK_LINE_BYTES = 600,  // a PROGRAM of a chunk, every byte escaped, and its answer
};

uint32_t fixture_silence_ms(uint32_t leave_ms, uint32_t baud)
{
    return leave_ms / 2 + static_cast<uint32_t>(uint64_t{2} * CHUNK_LINE_BYTES * 10 * 1000 / baud);
}

uint32_t fixture_probe_wait_ms(uint32_t baud)
{
    uint32_t line_ms = static_cast<uint32_t>(uint64_t{PROBE_LINE_BYTES} * 10 * 1000 / baud);
    return SLOT_PROBE_WAIT_MS + line_ms;
}

fixture::fixture(const fixture_rules& rules, const std::vector<port_info>& ports) : rules_(rules)
{
    int n = 0;
    for (const port_info& p : ports)
        slots_.push_back(std::make_unique<place>(++n, p, rules_));
}

fixture::~fixture()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    for (auto& p : slots_) {
        p->poke.notify_all();
        if (p->thread.joinable())
            p->thread.join();
    }
}  // each owner puts its port back

fixture::place& fixture::at(int slot) const
{
    return *slots_.at(static_cast<size_t>(slot - 1));
}

const port_info& fixture::port(int slot) const
{
    return at(slot).info;
}

// The port opened and set up as a board's would be; with a presence line,
// that line read once.
bool fixture::open(place& p, std::string* error)
{
    const char* path = p.info.path.c_str();
    if (!p.owner.open(path)) {
        *error = p.info.path + ": does not open";
        return false;
    }
    DCB applied{};
    if (!p.owner.configure(static_cast<int32_t>(rules_.baud)) ||
        !p.owner.ops().get_state(p.owner.handle(), &applied) || applied.BaudRate != rules_.baud) {
        *error = p.info.path + ": not a serial port that takes " + std::to_string(rules_.baud) + " baud";
        p.owner.close();
        return false;
    }
    uint32_t lines = 0;
    if (rules_.timing.signal == slot_signal::line && !p.owner.ops().modem(p.owner.handle(), &lines)) {
        *error = p.info.path + ": its modem status lines cannot be read (a pseudo-terminal, or an adapter "
                               "without them): use the probe instead of a presence line";
        p.owner.close();
        return false;
    }
    return true;
}

bool fixture::start(std::string* error)
{
    auto now = slot_clock::now();
    for (auto& p : slots_) {
        if (!open(*p, error))
            return false;
        p->logic.opened(now);
    }
    for (auto& p : slots_) {
        place* at = p.get();
        at->thread = interrupts_start_thread([this, at] { run(*at); });
    }
    return true;
}

// One look, on the slot's thread, the port the slot's alone.
slot_look fixture::look(place& p)
{
    const port_ops& ops = p.owner.ops();
    if (rules_.timing.signal == slot_signal::line) {
        uint32_t lines = 0;
        if (!ops.alive(p.owner.handle()) || !ops.modem(p.owner.handle(), &lines))
            return slot_look::gone;
        return (lines & rules_.line) != 0 ? slot_look::present : slot_look::absent;
    }
    job_config c;
    c.port = p.info.path.c_str();
    c.baud = static_cast<int32_t>(rules_.baud);
    c.seams = rules_.seams;
    switch (job_probe(c, p.owner.lend(), fixture_probe_wait_ms(rules_.baud))) {
    case JOB_PROBE_LOADER: return slot_look::present;
    case JOB_PROBE_GONE: return slot_look::gone;
    default: return slot_look::absent;
    }
}

// A look or an open that is due, done without the lock: no other thread
// touches the port of a slot that looks.
void fixture::step(place& p, std::unique_lock<std::mutex>& hold)
{
    bool unplugged = p.logic.phase() == slot_phase::unplugged;
    hold.unlock();
    std::string ignored;
    bool opened = unplugged && open(p, &ignored);
    slot_look found = unplugged ? slot_look::absent : look(p);
    if (found == slot_look::gone)
        p.owner.close();
    hold.lock();
    auto now = slot_clock::now();
    slot_news n = slot_news::none;
    if (unplugged && opened)
        n = p.logic.opened(now);
    else if (unplugged)
        p.logic.not_opened(now);
    else
        n = p.logic.look(found, now);
    if (n == slot_news::none)
        return;
    p.news.push_back(n);
    if (rules_.wake)
        rules_.wake();
}

void fixture::run(place& p)
{
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        std::optional<slot_clock::time_point> due = p.logic.next_look();
        if (!due)
            p.poke.wait(hold);
        else if (slot_clock::now() < *due)
            p.poke.wait_until(hold, *due);
        else
            step(p, hold);
    }
}

void fixture::enter()
{
    std::lock_guard<std::mutex> hold(lock_);
    auto now = slot_clock::now();
    for (auto& p : slots_) {
        p->logic.enter(now);
        p->poke.notify_all();
    }
}

std::vector<fixture_news> fixture::take_news()
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<fixture_news> all;
    for (auto& p : slots_) {
        for (slot_news n : p->news)
            all.push_back(fixture_news{p->number, n});
        p->news.clear();
    }
    return all;
}

std::vector<int> fixture::ready() const
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<int> numbers;
    for (const auto& p : slots_)
        if (p->logic.phase() == slot_phase::ready)
            numbers.push_back(p->number);
    return numbers;
}

ser_port fixture::lend(int slot)
{
    std::lock_guard<std::mutex> hold(lock_);
    place& p = at(slot);
    p.logic.started();
    return p.owner.lend();
}

void fixture::give_back(int slot, bool programmed)
{
    std::lock_guard<std::mutex> hold(lock_);
    place& p = at(slot);
    p.logic.ended(programmed, slot_clock::now());
    p.poke.notify_all();
}

slot_view fixture::view(int slot) const
{
    std::lock_guard<std::mutex> hold(lock_);
    const place& p = at(slot);
    slot_view v;
    v.number = p.number;
    v.port = p.info.path;
    v.phase = p.logic.phase();
    v.programmed = p.logic.programmed();
    v.flagged = p.logic.flagged();
    return v;
}
