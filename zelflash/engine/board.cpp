#include "engine/board.h"

#include <nlohmann/json.hpp>

#include "platform/interrupts.h"
#include "job.h"
#include "lprog.h"
#include "platform/port_error.h"
#include "base/texts.h"

enum board_constants : int32_t {
    BOARD_CHUNK = 256,  // image bytes per PROGRAM, as the dialog program sends
};

void board_news::post(int board_index)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        pending_.push_back(board_index);
    }
    changed_.notify_one();
}

std::deque<int> board_news::take(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, wait, [this] { return !pending_.empty(); });
    std::deque<int> taken;
    taken.swap(pending_);
    return taken;
}

board::board(int index, std::string port, std::string serial, board_news* news, job_seams seams)
    : index_(index), port_(std::move(port)), serial_(std::move(serial)), news_(news), seams_(seams),
      owner_(*seams.ops)
{
    // No texts: they are the dialog program's; the display draws its own
    // from the progress reports.
    sink_ = sink{this, nullptr, on_progress, on_cancelled};
}

board::~board()
{
    stop();  // only a main thread left by an error destroys a running board
    join();
}  // a port opened and never handed to a job is put back by owner_

bool board::open(uint32_t baud, std::string* error)
{
    if (!owner_.open(port_.c_str())) {
        port_open_failure why = port_error_cause();  // before anything else sets the error
        *error = board_open_error(port_, port_error_text(), why);
        return false;
    }
    if (!owner_.configure(static_cast<int32_t>(baud))) {
        *error = port_ + ": not a serial port (its line settings cannot be read)";
        owner_.close();
        return false;
    }
    DCB applied{};
    if (!owner_.ops().get_state(owner_.handle(), &applied) || applied.BaudRate != baud) {
        *error = port_ + ": the port does not take " + std::to_string(baud) + " baud";
        return false;  // owner_ puts the settings back
    }
    baud_ = baud;
    return true;
}

void board::borrow(const ser_port& port, uint32_t baud, uint32_t line)
{
    lent_ = port;
    baud_ = baud;
    line_ = line;
}

board_view board::start(const image* img, const run_limits& limits)
{
    started_ = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(lock_);
        state_ = BOARD_RUNNING;
        at_.total = static_cast<uint32_t>(img->bytes.size());
    }
    board_view first = view();
    thread_ = interrupts_start_thread([this, img, limits] { work(img, limits); });
    return first;
}

void board::join()
{
    if (thread_.joinable())
        thread_.join();
}

double board::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

// The job on this board's port, which takes the port over from owner_ and
// puts it back and closes it when it goes, whatever ends the run (an
// exception included).
run_result board::run(const image* img, const run_limits& limits)
{
    job_config request;
    request.port = port_.c_str();
    request.baud = static_cast<int32_t>(baud_);
    request.chunk = BOARD_CHUNK;
    request.addr = img->addr;
    request.out = &sink_;
    request.quick = 1;
    request.seams = seams_;
    request.lent = lent_.handle != nullptr ? 1 : 0;
    ser_port port = request.lent ? lent_ : owner_.release();
    job_ptr j(job_start(request, port, img->bytes.data(), static_cast<uint32_t>(img->bytes.size())));
    run_result r{};
    r.outcome = run_outcome::no_memory;
    if (j)
        r = run_job(j.get(), &limits);
    return r;
}

void board::end(const run_result& r, board_end how, std::string message)
{
    std::lock_guard<std::mutex> hold(lock_);
    state_ = BOARD_FINISHED;
    end_ = how;
    result_ = r;
    at_.done = r.done;
    at_.retries = r.retries;
    seconds_ = elapsed();
    message_ = std::move(message);
}

// Nothing may leave this thread: an exception here would end the process
// with every other port left as its job had set it. A board whose run threw
// is a failed board, its port put back by run().
void board::work(const image* img, run_limits limits)
{
    try {
        run_result r = run(img, limits);
        if (left_.load() && r.outcome == run_outcome::interrupted)
            r.outcome = run_outcome::board_left;
        std::string message = r.outcome == run_outcome::programmed ? "" : board_outcome_text(port_, r, limits, img->addr);
        end(r, board_end_of(r.outcome), message);
    } catch (const std::exception& e) {
        broke(e.what());
    } catch (...) {
        broke("an unknown exception");
    }
    news_->post(index_);
}

void board::broke(const std::string& what)
{
    run_result r{};
    {
        std::lock_guard<std::mutex> hold(lock_);
        r.phase = at_.phase;
        r.addr = at_.addr;
        r.done = at_.done;
        r.total = at_.total;
        r.retries = at_.retries;
    }
    end(r, board_end::internal_error, port_ + ": internal error in zelflash (" + what + "); the port's settings are put back; program the "
                   "board again, and report this if it happens again");
}

board_view board::view() const
{
    std::lock_guard<std::mutex> hold(lock_);
    board_view v;
    v.port = port_;
    v.serial = serial_;
    v.state = state_;
    v.at = at_;
    v.seconds = state_ == BOARD_RUNNING ? elapsed() : seconds_;
    v.end = end_;
    v.result = result_;
    v.message = message_;
    return v;
}

void board::on_progress(void* ctx, const sink_progress* p)
{
    board* b = static_cast<board*>(ctx);
    {
        std::lock_guard<std::mutex> hold(b->lock_);
        b->at_ = *p;
    }
    b->news_->post(b->index_);
}

int board::on_cancelled(void* ctx)
{
    board* b = static_cast<board*>(ctx);
    return b->stop_.load() || b->board_gone() ? 1 : 0;
}

// Asked before every exchange, on the board's thread: a line that cannot be
// read counts as off.
bool board::board_gone()
{
    if (line_ == 0)
        return false;
    uint32_t lines = 0;
    bool on = seams_.ops->modem(lent_.handle, &lines) && (lines & line_) != 0;
    auto now = std::chrono::steady_clock::now();
    if (on)
        line_off_ = {};
    else if (line_off_ == std::chrono::steady_clock::time_point{})
        line_off_ = now;
    else if (now - line_off_ >= std::chrono::milliseconds(BOARD_LINE_OFF_MS))
        left_.store(true);
    return left_.load();
}

static std::string command_at(const run_result& r)
{
    if (r.phase == LPROG_WAIT_ERASE)
        return "PROGRAM(0, 0) (the wait for the erase)";
    if (r.phase == LPROG_SET_CLOCK || r.phase == LPROG_RESET)
        return run_command(r.phase);
    return std::string(run_command(r.phase)) + " at " + hex32(r.addr);
}

std::string board_link_text(const run_result& r)
{
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (r.link.late > 0)
        add(counted(r.link.late, "late reply", "late replies") + " (the latest " + std::to_string(r.link.late_ms) +
            " ms)");
    if (r.bad_frames > 0)
        add(counted(r.bad_frames, "bad frame", "bad frames"));
    if (r.link.settles > 0)
        add(counted(r.link.settles, "quiet wait", "quiet waits") + " (" + std::to_string(r.link.settle_ms) + " ms)");
    if (r.link.unasked > 0)
        add(counted(r.link.unasked, "unasked ACK", "unasked ACKs"));
    return text;
}

std::string board_outcome_text(const std::string& port, const run_result& r, const run_limits& limits,
                               uint32_t image_addr)
{
    std::string attempts = counted(r.attempts, "attempt", "attempts");
    switch (r.outcome) {
    case run_outcome::programmed:
        return port + ": programmed";
    case run_outcome::unconfirmed:
        return port + ": programmed, restart not confirmed (no answer to RESET after " + attempts + ")";
    case run_outcome::no_answer:
        return port + ": no answer to " + command_at(r) + " after " + attempts;
    case run_outcome::erase_timeout:
        return port + ": erase not finished: no answer to PROGRAM(0, 0) within " +
               std::to_string(limits.erase_ms / 1000) + " s of the ERASE at " + hex32(image_addr) + " (" + attempts +
               ")";
    case run_outcome::disconnected:
        return port + ": device disconnected during " + command_at(r);
    case run_outcome::interrupted:
        return port + ": interrupted before " + command_at(r) + ", " + std::to_string(r.done) + " of " +
               counted(r.total, "byte", "bytes") + " written";
    case run_outcome::board_left:
        return port + ": the board left its slot during " + command_at(r) + " (" + std::to_string(r.done) + " of " +
               counted(r.total, "byte", "bytes") +
               " written): another board may stand in its place, so neither is taken as programmed; take it out "
               "and seat it again";
    case run_outcome::out_of_step:
        return port + ": link out of step at " + command_at(r) +
               ": an ACK came that no command was waiting for, so the answers can no longer be told apart; "
               "check the cable, the adapter and that no other program talks to the device, then program it again";
    default:
        return port + ": " + run_outcome_text(r.outcome);
    }
}

void board_tally_add(board_tally* t, board_end end)
{
    if (board_programmed(end))
        t->done += 1;
    else if (end == board_end_of(run_outcome::interrupted))
        t->interrupted += 1;
    else if (end == board_end::not_started)
        t->not_started += 1;
    else
        t->failed += 1;
}

board_view board_unstarted(const std::string& port, const std::string& serial, board_end end, std::string message,
                           uint32_t total)
{
    board_view v;
    v.port = port;
    v.serial = serial;
    v.state = BOARD_FINISHED;
    v.at.total = total;
    v.end = end;
    v.result.total = total;
    v.message = std::move(message);
    return v;
}

bool board_ran(const board_view& v)
{
    return v.state == BOARD_FINISHED && board_end_run(v.end).has_value();
}

bool board_may_hold(const board_view& v, uint32_t at, uint32_t size)
{
    if (!board_ran(v) || size == 0)
        return false;
    switch (v.result.phase) {
    case LPROG_ERASE:
    case LPROG_WAIT_ERASE: return false;
    // Chunks go out in address order from the image's start: the one in
    // flight is the last that may have reached the flash.
    case LPROG_PROGRAM: return uint64_t{at} < uint64_t{v.result.addr} + BOARD_CHUNK;
    default: return true;  // every chunk went out
    }
}

std::string board_open_error(const std::string& port, const std::string& system_text, port_open_failure why)
{
    std::string hint;
    switch (why) {
    case OPEN_DENIED:
        hint = "you may not use it: add yourself to the group that owns it (on Debian: sudo adduser $USER "
               "dialout), then log in again";
        break;
    case OPEN_BUSY: hint = "another program holds it: close that program (a terminal, a monitor) first"; break;
    case OPEN_ABSENT: hint = "no such device: check the name with `zelflash list`, and that the board is plugged in"; break;
    default: hint = "check the name with `zelflash list`, and that no other program is using it"; break;
    }
    return port + ": cannot open the port: " + system_text + " (" + hint + ")";
}

nlohmann::json board_link_json(const board_view& v)
{
    if (!board_ran(v))
        return nullptr;
    const run_result& r = v.result;
    return {{"frames", r.link.frames},         {"resends", r.link.resends},     {"late_replies", r.link.late},
            {"latest_late_ms", r.link.late_ms}, {"slowest_reply_ms", r.link.slowest_ms},
            {"bad_frames", r.bad_frames},       {"quiet_waits", r.link.settles}, {"quiet_ms", r.link.settle_ms},
            {"unasked_acks", r.link.unasked}};
}

nlohmann::json board_values_json(const board_view& v)
{
    nlohmann::json values = nlohmann::json::object();
    for (const field_value& f : v.values)
        values[f.name] = f.text;
    return values;
}
