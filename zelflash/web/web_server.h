// The station's page over HTTP: the page and its assets (built into the
// program), /events (server-sent events: the run's JSON events, with
// Last-Event-ID resume), /api/status, /api/boards?since=N, /metrics, and,
// with a token, POST /api/pause, /api/resume and /api/stop.
//
// It never slows or stops a board: it reads the feed (web_feed.h) and
// nothing else of the station, on threads of its own; a client that does
// not read is dropped once its socket's buffer is full for WEB_WRITE_S, or
// once it falls behind the feed's ring; requests are held to small headers
// and bodies and to WEB_READ_S between two reads. One file per platform:
// web_server_posix.cpp serves with cpp-httplib; web_server_win.cpp refuses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "web/web_access.h"
#include "web/web_feed.h"

enum web_server_limits : uint32_t {
    WEB_THREADS = 96,        // requests served at once; more wait for a thread
    WEB_STREAMS = 80,        // event streams at once; more are answered 503
    WEB_BODY_MAX = 1024,     // bytes of a request's body (control takes none)
    WEB_READ_S = 5,          // a request that sends nothing this long is dropped
    WEB_WRITE_S = 5,         // a client that takes nothing this long is dropped
    WEB_KEEPALIVE_S = 5,
    WEB_KEEPALIVE_MAX = 100,
    WEB_STREAM_WAIT_S = 15,  // an idle stream sends a comment this often
    WEB_BOARDS_MOST = 1000,  // records per answer of /api/boards
};

struct web_server_config {
    web_address address;
    std::string token;  // control's token; empty: no control
};

class web_server {
public:
    explicit web_server(web_feed* feed);
    // Stops serving: the feed must be closed first, so that event streams end.
    ~web_server();
    web_server(const web_server&) = delete;
    web_server& operator=(const web_server&) = delete;

    // Listens on the address and serves on threads of its own; false with a
    // one-line error (the address taken, not this computer's, no server in
    // this build).
    bool start(const web_server_config& c, std::string* error);
    // The port it listens on (the one chosen, for port 0).
    uint16_t port() const;

    struct impl;

private:
    std::unique_ptr<impl> impl_;
};
