// The one thing the station's main thread and the page's HTTP threads
// share: a bounded ring of the run's events, the latest snapshots (status,
// board records, metrics), and the commands the page sends back. Nothing
// of the boards is reachable from here: the main thread publishes, the
// HTTP threads read copies, each side under this feed's own lock, which is
// never held while anything is written to a socket or a disk.
//
// Events carry ids 1, 2, 3, ... in the order published. The ring keeps the
// last `capacity`; a reader that asks for events after an id the ring no
// longer holds has fallen behind by more than the ring, and is told so
// (the server then drops that client: it may reconnect with Last-Event-ID
// and find out it missed some).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "web/web_metrics.h"

enum web_feed_limits : uint32_t {
    WEB_FEED_EVENTS = 4096,   // events kept for readers that fall behind or resume
    WEB_FEED_BOARDS = 10000,  // board records kept for /api/boards
    WEB_FEED_COMMANDS = 16,   // commands waiting for the main loop; more are refused
};

struct web_event {
    uint64_t id = 0;
    std::string data;  // one JSON object, one line
};

enum class web_command : int32_t { pause = 0, resume = 1, stop = 2 };

enum class web_read : int32_t {
    events = 0,  // *out holds the events after the id (possibly none, after the wait)
    behind = 1,  // the ring no longer holds the next event: the reader missed some
    closed = 2,  // the station is going: no more events will come
};

class web_feed {
public:
    explicit web_feed(size_t events = WEB_FEED_EVENTS, size_t boards = WEB_FEED_BOARDS);

    // Main thread.
    void publish(const std::string& event);
    void set_status(std::string status);
    void add_board(std::string record);
    void set_metrics(const web_metrics& m);
    // The commands sent since the last call, in order.
    std::vector<web_command> take_commands();
    // Readers still waiting return `closed`, later reads too; commands are
    // refused from now on.
    void close();

    // HTTP threads.
    // The events after `after`, waiting up to `wait` for one when there is none.
    web_read events_after(uint64_t after, std::vector<web_event>* out, std::chrono::milliseconds wait);
    uint64_t last_id() const;
    // The id before the oldest event held: where a new reader that asks
    // for older ones starts instead.
    uint64_t before_oldest() const;
    std::string status() const;
    // {"since":N,"next":M,"boards":[records...]}: the records numbered
    // since N on (from 0), as many as the feed still holds, at most `most`.
    std::string boards_since(uint64_t since, size_t most) const;
    web_metrics metrics() const;
    // false when too many commands wait already, or the feed is closed.
    // `wake` is then called to break the main loop's wait, under the
    // feed's lock: it must take no lock the main thread holds while it
    // calls the feed (session::nudge takes only the boards' news lock).
    bool command(web_command c);
    // Before the server starts.
    void on_command(std::function<void()> wake) { wake_ = std::move(wake); }

private:
    const size_t events_capacity_;
    const size_t boards_capacity_;
    mutable std::mutex lock_;
    std::condition_variable published_;
    std::deque<web_event> events_;     // ids from next_id_ - size() to next_id_ - 1
    uint64_t next_id_ = 1;
    std::string status_ = "{}";
    std::deque<std::string> boards_;   // numbers from boards_total_ - size()
    uint64_t boards_total_ = 0;
    web_metrics metrics_;
    std::vector<web_command> commands_;
    bool closed_ = false;
    std::function<void()> wake_;       // set before the server starts
};
