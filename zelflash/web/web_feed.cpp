#include "web/web_feed.h"

web_feed::web_feed(size_t events, size_t boards) : events_capacity_(events), boards_capacity_(boards) {}

void web_feed::publish(const std::string& event)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(web_event{next_id_++, event});
        if (events_.size() > events_capacity_)
            events_.pop_front();
    }
    published_.notify_all();
}

void web_feed::set_status(std::string status)
{
    std::lock_guard<std::mutex> hold(lock_);
    status_ = std::move(status);
}

void web_feed::add_board(std::string record)
{
    std::lock_guard<std::mutex> hold(lock_);
    boards_.push_back(std::move(record));
    ++boards_total_;
    if (boards_.size() > boards_capacity_)
        boards_.pop_front();
}

void web_feed::set_metrics(const web_metrics& m)
{
    std::lock_guard<std::mutex> hold(lock_);
    metrics_ = m;
}

std::vector<web_command> web_feed::take_commands()
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<web_command> taken;
    taken.swap(commands_);
    return taken;
}

void web_feed::close()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        wake_ = nullptr;
    }
    published_.notify_all();
}

web_read web_feed::events_after(uint64_t after, std::vector<web_event>* out, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> hold(lock_);
    published_.wait_for(hold, wait, [&] { return closed_ || next_id_ - 1 > after; });
    if (closed_)
        return web_read::closed;
    uint64_t oldest = next_id_ - events_.size();
    if (after + 1 < oldest)
        return web_read::behind;
    for (size_t i = static_cast<size_t>(after + 1 - oldest); i < events_.size(); ++i)
        out->push_back(events_[i]);
    return web_read::events;
}

uint64_t web_feed::last_id() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return next_id_ - 1;
}

uint64_t web_feed::before_oldest() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return next_id_ - 1 - events_.size();
}

std::string web_feed::status() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return status_;
}

std::string web_feed::boards_since(uint64_t since, size_t most) const
{
    std::lock_guard<std::mutex> hold(lock_);
    uint64_t oldest = boards_total_ - boards_.size();
    uint64_t from = since < oldest ? oldest : since;
    std::string out = "{\"since\":" + std::to_string(from) + ",\"boards\":[";
    uint64_t n = from;
    for (; n < boards_total_ && n - from < most; ++n)
        out += (n == from ? "" : ",") + boards_[static_cast<size_t>(n - oldest)];
    return out + "],\"next\":" + std::to_string(n) + "}";
}

web_metrics web_feed::metrics() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return metrics_;
}

// The wake is called under the lock, so that close() (which drops it)
// never returns while a wake is under way.
bool web_feed::command(web_command c)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_ || commands_.size() >= WEB_FEED_COMMANDS)
        return false;
    commands_.push_back(c);
    if (wake_)
        wake_();
    return true;
}
