#include "station/fixture_station.h"

#include <cstdio>
#include <functional>
#include <mutex>

#include "engine/exit_status.h"
#include "platform/interrupts.h"

// What the reader of standard input shares with the station: the thread
// may outlive the station (a read cannot be called off), so the station
// only clears `pressed` as it goes.
struct enter_lines {
    std::mutex lock;
    std::function<void()> pressed;  // empty once the station has gone
};

namespace {

struct present_name {
    const char* name;
    slot_signal signal;
    uint32_t line;
};

constexpr present_name present_names[] = {
    {"probe", slot_signal::probe, 0},
    {"dsr", slot_signal::line, PORT_LINE_DSR},
    {"cts", slot_signal::line, PORT_LINE_CTS},
    {"dcd", slot_signal::line, PORT_LINE_DCD},
    {"ri", slot_signal::line, PORT_LINE_RI},
    {"enter", slot_signal::enter, 0},
};

const present_name& named(const std::string& present)
{
    for (const present_name& p : present_names)
        if (present == p.name)
            return p;
    return present_names[0];
}

void read_enter(const std::shared_ptr<enter_lines>& shared)
{
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::lock_guard<std::mutex> hold(shared->lock);
        if (!shared->pressed)
            return;
        shared->pressed();
    }
}

}  // namespace

uint32_t fixture_line_of(const std::string& present)
{
    return named(present).line;
}

slot_signal fixture_signal_of(const std::string& present)
{
    return named(present).signal;
}

fixture_station::fixture_station(const fixture_rules& rules, std::vector<port_info> ports, display* d)
    : rules_(rules), ports_(std::move(ports)), d_(d)
{
    for (size_t i = 0; i < ports_.size(); ++i)
        slot_of_[ports_[i].path] = static_cast<int>(i + 1);
}

fixture_station::~fixture_station()
{
    close();
}

void fixture_station::close()
{
    if (enter_) {
        std::lock_guard<std::mutex> hold(enter_->lock);
        enter_->pressed = nullptr;
    }
    quiet_.reset();  // the terminal's echo back as it was
    fixture_.reset();
}

int fixture_station::open(session* s)
{
    fixture_rules rules = rules_;
    rules.wake = [s] { s->nudge(); };
    fixture_ = std::make_unique<fixture>(rules, ports_);
    std::string error;
    if (!fixture_->start(&error)) {
        d_->problem(error + "; every slot's port must be there when the station starts");
        return EXIT_BAD_INPUT;
    }
    if (rules_.timing.signal == slot_signal::enter) {
        enter_ = std::make_shared<enter_lines>();
        enter_->pressed = [f = fixture_.get(), s] {
            f->enter();
            s->nudge();
        };
        quiet_ = std::make_unique<terminal_echo_off>();
        std::thread reader = interrupts_start_thread([shared = enter_] { read_enter(shared); });
        reader.detach();
    }
    return EXIT_PROGRAMMED;
}

slot_view fixture_station::view(int slot) const
{
    slot_view v = fixture_->view(slot);
    auto b = boards_.find(slot);
    if (b != boards_.end()) {
        v.board = b->second.board;
        v.values = b->second.values;
    }
    return v;
}

void fixture_station::tell(session* s, int slot, slot_news news)
{
    slot_view v = view(slot);
    v.news = news;
    s->slot_changed(v);
}

// A ready slot's board starts only while the session takes boards; it
// stays ready otherwise, its port the slot's.
void fixture_station::start_ready(session* s)
{
    for (int slot : fixture_->ready()) {
        if (!s->taking())
            return;
        boards_.erase(slot);
        s->queue_lent(fixture_->port(slot), fixture_->lend(slot), slot);
        tell(s, slot, slot_news::started);
    }
}

void fixture_station::look(session* s)
{
    for (const fixture_news& n : fixture_->take_news())
        tell(s, n.slot, n.news);
    for (int slot : ended_)
        tell(s, slot, slot_news::ended);
    ended_.clear();
    start_ready(s);
}

void fixture_station::redraw(session* s, const std::string& footer)
{
    std::vector<slot_view> all;
    for (size_t slot = 1; slot <= ports_.size(); ++slot)
        all.push_back(view(static_cast<int>(slot)));
    s->show_slots(all, footer);
}

std::string fixture_station::what() const
{
    return "a fixture of " + std::to_string(ports_.size()) + (ports_.size() == 1 ? " slot" : " slots");
}

void fixture_station::board_started(const session_board& b, const board_view& v)
{
    if (b.slot > 0)
        boards_[b.slot] = last_board{v, {}};
}

void fixture_station::board_progressed(const board_view& v)
{
    auto slot = slot_of_.find(v.port);
    if (slot != slot_of_.end())
        boards_[slot->second].board = v;
}

// The port goes back to its slot at once: the slot's thread looks for the
// board leaving from now on.
bool fixture_station::board_ended(const session_board& b, const board_view& v, std::string*)
{
    if (b.slot == 0 || !fixture_)
        return true;
    boards_[b.slot] = last_board{v, v.values};
    fixture_->give_back(b.slot, board_programmed(v.end));
    ended_.push_back(b.slot);
    return true;
}
