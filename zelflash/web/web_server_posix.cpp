// The station's page served with cpp-httplib (Debian's libcpp-httplib,
// built as a shared library): a listening thread and a pool of
// WEB_THREADS threads, each serving one connection at a time with blocking
// reads and writes bounded by their time-outs. That model fits: a page
// asks little, and an event stream is one thread parked on the feed.
#include "web/web_server.h"

#include <algorithm>
#include <atomic>
#include <httplib.h>
#include <thread>

#include "platform/interrupts.h"
#include "web/web_access.h"
#include "web/web_assets.h"

namespace {

const char* const JSON_TYPE = "application/json";

// Said to every response: no script, style or image from anywhere but the
// page itself, not framed, not sniffed, nothing cached or referred.
httplib::Headers safe_headers()
{
    return {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"}};
}

void answer(httplib::Response& res, int status, const std::string& text)
{
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}


// An event stream's frames: "id: N" and one data line each (the JSON
// event is one line).
std::string stream_text(const std::vector<web_event>& events)
{
    std::string text;
    for (const web_event& e : events)
        text += "id: " + std::to_string(e.id) + "\ndata: " + e.data + "\n\n";
    return text.empty() ? ": still here\n\n" : text;
}

}  // namespace

struct web_server::impl {
    web_feed* feed;
    web_server_config config;
    httplib::Server server;
    std::thread listening;
    std::atomic<int> streams{0};
    int port = 0;

    void routes();
    void asset_routes();
    void api_routes();
    void control_route(const char* path, web_command c);
    void events(const httplib::Request& req, httplib::Response& res);
    httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res);
};

httplib::Server::HandlerResponse web_server::impl::screen(const httplib::Request& req, httplib::Response& res)
{
    if (web_path_allowed(req.path))
        return httplib::Server::HandlerResponse::Unhandled;
    answer(res, 400, "bad path");
    return httplib::Server::HandlerResponse::Handled;
}

void web_server::impl::asset_routes()
{
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        const web_asset* a = web_asset_find("/index.html");
        res.set_content(std::string(a->body), a->type);
    });
    server.Get(R"(/[a-z_]+\.(css|js|png))", [](const httplib::Request& req, httplib::Response& res) {
        const web_asset* a = web_asset_find(req.path);
        if (a == nullptr)
            return answer(res, 404, "not found");
        res.set_content(std::string(a->body), a->type);
    });
}

void web_server::impl::api_routes()
{
    server.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(feed->status(), JSON_TYPE);
    });
    server.Get("/api/boards", [this](const httplib::Request& req, httplib::Response& res) {
        uint64_t since = 0;
        if (req.has_param("since") && !web_decimal(req.get_param_value("since"), UINT64_MAX, &since))
            return answer(res, 400, "since: give the number of the first record wanted, from 0");
        res.set_content(feed->boards_since(since, WEB_BOARDS_MOST), JSON_TYPE);
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(web_metrics_text(feed->metrics()), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/events", [this](const httplib::Request& req, httplib::Response& res) { events(req, res); });
    control_route("/api/pause", web_command::pause);
    control_route("/api/resume", web_command::resume);
    control_route("/api/stop", web_command::stop);
}

// Control answers 403 when the station was started without a token file,
// 401 without the token, 503 when commands pile up unread.
void web_server::impl::control_route(const char* path, web_command c)
{
    server.Post(path, [this, c](const httplib::Request& req, httplib::Response& res) {
        if (config.token.empty())
            return answer(res, 403, "control is off: the station was started without --http-token-file");
        if (!web_token_matches(req.get_header_value("Authorization"), config.token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            return answer(res, 401, "give Authorization: Bearer <token>");
        }
        if (!feed->command(c))
            return answer(res, 503, "the station has not taken the last commands yet; try again");
        answer(res, 202, "asked");
    });
}

// A stream starts after Last-Event-ID (a reconnecting browser), else after
// ?after=N (the page, from its status's "event"), else with the next event.
// It ends when the station goes, when its client takes nothing for
// WEB_WRITE_S, or when it falls behind the feed's ring.
void web_server::impl::events(const httplib::Request& req, httplib::Response& res)
{
    uint64_t after = feed->last_id();
    std::string from = req.has_header("Last-Event-ID") ? req.get_header_value("Last-Event-ID")
                                                        : req.get_param_value("after");
    if (!from.empty() && !web_decimal(from, UINT64_MAX, &after))
        return answer(res, 400, "Last-Event-ID or after: give an event's id");
    after = std::max(after, feed->before_oldest());  // older ones are gone: from the oldest held
    if (streams.fetch_add(1) >= static_cast<int>(WEB_STREAMS)) {
        streams.fetch_sub(1);
        return answer(res, 503, "too many event streams; try again later");
    }
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, after](size_t, httplib::DataSink& sink) mutable {
            std::vector<web_event> got;
            web_read r = feed->events_after(after, &got, std::chrono::seconds(WEB_STREAM_WAIT_S));
            if (r == web_read::closed) {
                sink.done();
                return true;
            }
            if (r == web_read::behind)
                return false;
            std::string text = stream_text(got);
            if (!got.empty())
                after = got.back().id;
            return sink.write(text.data(), text.size());
        },
        [this](bool) { streams.fetch_sub(1); });
}

void web_server::impl::routes()
{
    server.new_task_queue = [] { return new httplib::ThreadPool(WEB_THREADS); };
    server.set_default_headers(safe_headers());
    server.set_payload_max_length(WEB_BODY_MAX);
    server.set_read_timeout(WEB_READ_S, 0);
    server.set_write_timeout(WEB_WRITE_S, 0);
    server.set_keep_alive_timeout(WEB_KEEPALIVE_S);
    server.set_keep_alive_max_count(WEB_KEEPALIVE_MAX);
    server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return screen(req, res); });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            answer(res, res.status, res.status == 404 ? "not found" : "refused");
    });
    asset_routes();
    api_routes();
}

web_server::web_server(web_feed* feed) : impl_(std::make_unique<impl>())
{
    impl_->feed = feed;
}

web_server::~web_server()
{
    if (!impl_->listening.joinable())
        return;
    impl_->server.stop();
    impl_->listening.join();
}

bool web_server::start(const web_server_config& c, std::string* error)
{
    impl_->config = c;
    impl_->routes();
    impl_->port = c.address.port == 0 ? impl_->server.bind_to_any_port(c.address.host)
                                      : (impl_->server.bind_to_port(c.address.host, c.address.port) ? c.address.port : -1);
    if (impl_->port <= 0) {
        *error = "--http " + c.address.host + ":" + std::to_string(c.address.port) +
                 ": cannot listen there (is the port taken by another program, or the address not this computer's?)";
        return false;
    }
    // The pool's threads are made by this one and inherit its signal mask:
    // the interrupts stay the main thread's.
    impl_->listening = interrupts_start_thread([s = &impl_->server] { s->listen_after_bind(); });
    return true;
}

uint16_t web_server::port() const
{
    return static_cast<uint16_t>(impl_->port);
}
