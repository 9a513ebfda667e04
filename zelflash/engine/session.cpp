#include "engine/session.h"

#include <algorithm>

#include "platform/interrupts.h"
#include "engine/exit_status.h"
#include "platform/sha256.h"

bool session_hooks::starting(const session_board&, image*, std::vector<field_value>*, std::string*)
{
    return true;
}

bool session_hooks::ended(const session_board&, const board_view&, std::string*)
{
    return true;
}

bool session_hooks::can_start(size_t)
{
    return true;
}

session::session(const session_rules& rules, const image& img, session_hooks* hooks)
    : rules_(rules), img_(img), hooks_(hooks)
{
}

session::~session()
{
    // All at once, then each waited for as the slots go: a port's exchange
    // in flight need not wait for the others'.
    for (auto& [id, s] : slots_)
        if (s.b)
            s.b->stop();
}

int session::queue(const port_info& port)
{
    return queue_lent(port, ser_port{}, 0);
}

int session::queue_lent(const port_info& port, const ser_port& lent, int slot)
{
    int id = next_id_++;
    slots_[id].id = id;
    slots_[id].port = port;
    slots_[id].lent = lent;
    slots_[id].fixture_slot = slot;
    if (!taking_)
        end_unstarted(slots_[id], board_end::not_started, unstarted_text(port.path));
    return id;
}

void session::withdraw(int id)
{
    auto it = slots_.find(id);
    if (it != slots_.end() && it->second.state == SLOT_QUEUED)
        slots_.erase(it);
}

bool session::open(slot& s, std::string* error)
{
    s.b = std::make_unique<board>(s.id, s.port.path, s.port.serial, &news_, rules_.seams);
    if (s.lent.handle == nullptr)
        return s.b->open(rules_.baud, error);
    s.b->borrow(s.lent, rules_.baud, rules_.presence_line);
    return true;
}

bool session::open_queued()
{
    for (auto& [id, s] : slots_) {
        std::string error;
        if (s.state == SLOT_QUEUED && !s.b && !open(s, &error)) {
            end_unstarted(s, board_end::not_opened, error);
            return false;
        }
    }
    return true;
}

void session::start_queued()
{
    auto now = std::chrono::steady_clock::now();
    for (auto& [id, s] : slots_) {
        if (!taking_ || running() >= rules_.jobs)
            return;
        if (s.state == SLOT_QUEUED && hooks_ != nullptr && !hooks_->can_start(waiting()))
            return;  // the hooks nudge() the session once boards can start again
        if (s.state == SLOT_QUEUED && now >= s.next_open)
            start(s);
    }
}

// A port that did not open within the grace after it was queued: it stays
// queued, without its board, and is opened again at its next turn.
bool session::open_later(slot& s)
{
    auto now = std::chrono::steady_clock::now();
    if (now - s.queued >= rules_.open_grace)
        return false;
    s.b.reset();
    s.next_open = now + std::chrono::milliseconds(SESSION_OPEN_RETRY_MS);
    return true;
}

// The board's turn: its port opened (unless it already is), its copy of
// the image handed to the starting() hook, then its job started. A refused
// board stays queued for halt() to end as not started.
void session::start(slot& s)
{
    s.start = std::chrono::system_clock::now();
    std::string why;
    if (!s.b && !open(s, &why)) {
        if (!open_later(s))
            end_unstarted(s, board_end::not_opened, why);  // not tried again until queued again
        return;
    }
    s.img = img_;
    if (hooks_ != nullptr && !hooks_->starting(seen_by_hooks(s), &s.img, &s.values, &why)) {
        s.img = image{};  // nothing of it was sent
        s.values.clear();
        halt(why);
        return;
    }
    board_view first = s.b->start(&s.img, rules_.limits);
    s.state = SLOT_RUNNING;
    session_board b = seen_by_hooks(s);
    for (session_listener* l : listeners_)
        l->board_started(b, first);
}

void session::end(slot& s, const board_view& ran)
{
    s.state = SLOT_ENDED;
    s.last = ran;
    sent_with(s, &s.last);
    board_tally_add(&tally_, s.last.end);
    std::string why;
    if (!tell_ended(seen_by_hooks(s), s.last, &why))
        halt(why);
}

// The hooks first, then every listener, each whatever the ones before said;
// false with what each that could not keep the board said, joined.
bool session::tell_ended(const session_board& b, const board_view& v, std::string* why)
{
    bool kept = hooks_ == nullptr || hooks_->ended(b, v, why);
    for (session_listener* l : listeners_) {
        std::string lost;
        if (l->board_ended(b, v, &lost))
            continue;
        kept = false;
        *why += (why->empty() || lost.empty() ? "" : "; ") + lost;
    }
    return kept;
}

// What the board of `s` was sent, for its final view: its values, and the
// digests of its copy (the session's image's, unless the copy differs) and
// of the image file.
void session::sent_with(const slot& s, board_view* v)
{
    if (img_sha256_.empty())
        img_sha256_ = sha256_hex(img_.bytes);
    bool own = !s.img.bytes.empty() && s.img.bytes != img_.bytes;
    v->image_sha256 = own ? sha256_hex(s.img.bytes) : img_sha256_;
    v->file_sha256 = img_.file_sha256;
    v->values = s.values;
}

// A board that never ran: its port did not open, or its turn never came.
void session::end_unstarted(slot& s, board_end how, const std::string& message)
{
    if (s.start == std::chrono::system_clock::time_point{})
        s.start = std::chrono::system_clock::now();  // its turn ends now, without having come
    end(s, board_unstarted(s.port.path, s.port.serial, how, message, static_cast<uint32_t>(img_.bytes.size())));
}

session_board session::seen_by_hooks(const slot& s) const
{
    return session_board{s.id, s.port, s.start, s.img.bytes.empty() ? &img_ : &s.img, s.fixture_slot};
}

// An interrupt that stops only the taking of boards leaves the running
// ones to finish, and says so.
void session::look_at_interrupts()
{
    int n = interrupts_count();
    if (n <= interrupts_seen_)
        return;
    interrupts_seen_ = n;
    for (session_listener* l : listeners_)
        l->interrupted();
    if (rules_.interrupts_to_stop > 1 && taking_ && running() > 0)
        for (session_listener* l : listeners_)
            l->stopping();
    stop_taking();
    if (n < rules_.interrupts_to_stop)
        return;
    for (auto& [id, s] : slots_)
        if (s.state == SLOT_RUNNING)
            s.b->stop();
}

// The wait shortened to the next open of a port in its grace, so that it
// is tried again on time whatever the caller's pace.
std::chrono::milliseconds session::until_next_open(std::chrono::milliseconds wait) const
{
    auto now = std::chrono::steady_clock::now();
    for (const auto& [id, s] : slots_)
        if (s.state == SLOT_QUEUED && s.next_open > now)
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(s.next_open - now));
    return wait;
}

// The one place ended slots go: never while another loop walks the slots.
void session::take_news(std::chrono::milliseconds wait)
{
    for (int id : news_.take(until_next_open(wait))) {
        auto it = slots_.find(id);
        if (it == slots_.end() || it->second.state != SLOT_RUNNING)
            continue;
        board_view v = it->second.b->view();
        if (v.state != BOARD_FINISHED) {
            for (session_listener* l : listeners_)
                l->board_progressed(v);
            continue;
        }
        it->second.b->join();
        end(it->second, v);
    }
    if (!rules_.keep_ended)
        std::erase_if(slots_, [](const auto& entry) { return entry.second.state == SLOT_ENDED; });
}

void session::redraw(const std::string& footer)
{
    std::vector<board_view> now = rows();
    for (session_listener* l : listeners_)
        l->rows(now, footer);
}

void session::watching(const std::string& what)
{
    for (session_listener* l : listeners_)
        l->watching(what);
}

void session::slot_changed(const slot_view& v)
{
    for (session_listener* l : listeners_)
        l->slot_changed(v);
}

void session::show_slots(const std::vector<slot_view>& all, const std::string& footer)
{
    for (session_listener* l : listeners_)
        l->slots(all, footer);
}

void session::tell_totals()
{
    for (session_listener* l : listeners_)
        l->totals(tally_);
}

void session::stop_taking()
{
    if (!taking_)
        return;
    taking_ = false;
    for (auto& [id, s] : slots_)
        if (s.state == SLOT_QUEUED)
            end_unstarted(s, board_end::not_started, unstarted_text(s.port.path));
}

std::string session::unstarted_text(const std::string& port) const
{
    return port + ": not programmed: zelflash stopped before its turn came; " + rules_.unstarted_hint;
}

void session::halt(const std::string& why)
{
    fail(why + "; no new boards are taken" + (running() > 0 ? ", the running ones finish" : ""));
    stop_taking();
}

void session::fail(const std::string& why)
{
    failed_ = true;
    for (session_listener* l : listeners_)
        l->failed(why);
}

size_t session::count(slot_state state) const
{
    return static_cast<size_t>(
        std::count_if(slots_.begin(), slots_.end(), [state](const auto& entry) { return entry.second.state == state; }));
}

std::vector<board_view> session::rows() const
{
    std::vector<board_view> all;
    for (const auto& [id, s] : slots_) {
        if (s.state == SLOT_RUNNING)
            all.push_back(s.b->view());
        else if (s.state == SLOT_ENDED && rules_.keep_ended)
            all.push_back(s.last);
    }
    return all;
}

int session::exit_status() const
{
    if (tally_.interrupted > 0)
        return EXIT_INTERRUPTED;
    bool lost = std::any_of(listeners_.begin(), listeners_.end(),
                            [](const session_listener* l) { return !l->lost().empty(); });
    bool failed = tally_.failed > 0 || tally_.not_started > 0 || failed_ || lost;
    return failed ? EXIT_FAILED : EXIT_PROGRAMMED;
}
