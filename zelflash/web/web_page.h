// The station's page as the station's loop sees it: the feed, the listener
// that fills it and the server that reads it, started together and stopped
// together, and the commands the page sends, applied between two passes of
// the loop: pause (no board is started; boards that arrive wait their
// turn), resume, and stop (as the first Ctrl-C: no new boards, the running
// ones finish).
#pragma once

#include <map>
#include <string>

#include "engine/session.h"
#include "outputs/display.h"
#include "web/web_feed.h"
#include "web/web_listener.h"
#include "web/web_server.h"

class web_page {
public:
    // `labels` (none when null) must outlive the page.
    web_page(const web_server_config& config, const std::map<std::string, std::string>* labels,
             web_values_source values);
    // The event streams end, then the server stops.
    ~web_page();
    web_page(const web_page&) = delete;
    web_page& operator=(const web_page&) = delete;

    // Subscribes to `s` and starts serving; says where on standard error.
    // false when it cannot listen (said). The page must go before `s`:
    // its commands wake `s` until then.
    bool start(session* s, display* d);
    // Once a pass of the station's loop: the page's commands applied, the
    // loop's state shown.
    void pass(session* s, display* d);
    // Boards are not to be started.
    bool paused() const { return paused_; }

private:
    web_server_config config_;
    web_feed feed_;
    web_listener listener_;
    web_server server_;
    bool paused_ = false;
};
