// The station's page as one of the session's listeners: on the main thread
// it turns each event into the JSON event the --json display writes
// (outputs/event_json.h) and publishes it, keeps the board-log record of
// each board that ends (outputs/board_log.h), and folds what it hears into
// the page's status: a tile per port or slot, the counts and the per-port
// link figures of the yield report (report/yield_report.h, over those same
// records, so the page counts as `zelflash report` does), the values the
// lot has left, and the station's own state (paused, stopping, waiting).
// It shares nothing with the HTTP threads but the feed (web_feed.h).
//
// A tile's state: "idle" (no board), "waiting" (a board waits for its
// turn), "programming", "programmed", "failed", "out_of_values" (no board,
// and a field has run out), "unplugged" (a fixture slot's adapter is away).
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/session_listener.h"
#include "outputs/event_json.h"
#include "report/yield_report.h"
#include "web/web_feed.h"
#include "web/web_metrics.h"
#include "web/web_values.h"

enum web_listener_limits : uint32_t {
    WEB_LAST_BOARDS = 50,  // the page's list of the last boards
};

// The station's loop as the page shows it.
struct web_loop_state {
    size_t waiting = 0;  // boards queued for their turn
    bool taking = true;  // false once the station stops taking boards
    bool paused = false;
    bool control = false;  // the page may pause, resume and stop (a token file was given)
    bool operator==(const web_loop_state&) const = default;
};

class web_listener : public session_listener {
public:
    // `labels` (none when null) go into the board records as the board log's do.
    web_listener(web_feed* feed, const std::map<std::string, std::string>* labels, web_values_source values);

    void board_started(const session_board& b, const board_view& v) override;
    void board_progressed(const board_view& v) override;
    bool board_ended(const session_board& b, const board_view& v, std::string* why) override;
    void slot_changed(const slot_view& v) override;
    void stopping() override;
    void failed(const std::string& why) override;
    void watching(const std::string& what) override;
    void totals(const board_tally& t) override;

    // Once a pass of the station's loop: published when it changed.
    void loop_state(const web_loop_state& s);
    // The values left, asked of the source again (after a board ended, and at start).
    void refresh_values();

private:
    struct tile {
        int slot = 0;
        std::string port;
        std::string state = "idle";
        bool running = false;  // its board started in the session (a slot's may wait queued first)
        nlohmann::json board;  // its board's figures: percent, bytes, seconds, speed, values, outcome, reason
    };

    tile& tile_of(const std::string& port, int slot);
    void event(const nlohmann::json& e);
    void publish_status();
    nlohmann::json status_json() const;
    nlohmann::json counts_json() const;
    void count_board(const nlohmann::json& record, const board_view& v);
    bool out_of_values() const;

    web_feed* feed_;
    const std::map<std::string, std::string>* labels_;
    web_values_source values_;
    event_json events_;
    std::map<std::string, tile> tiles_;  // by slot ("slot 003") or port
    std::map<std::string, std::string> tile_key_of_port_;
    report_data report_;
    report_reader reader_{"session", &report_};
    report_summary summary_;
    std::deque<std::chrono::steady_clock::time_point> programmed_at_;  // within the last hour
    std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
    web_metrics metrics_;
    std::vector<web_field_left> left_;
    web_loop_state loop_;
    std::string watching_;
    std::string failure_;
    bool stopping_ = false;
    bool ended_ = false;
};
