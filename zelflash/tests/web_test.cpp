// The station page's parts that need no socket: who may listen and steer
// (web_access), the metrics text, the values left, the feed shared with the
// HTTP threads, and the listener's status of a run.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "temp_dir.h"
#include "web/web_access.h"
#include "web/web_feed.h"
#include "web/web_listener.h"
#include "web/web_metrics.h"
#include "web/web_values.h"

namespace {

struct address_case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
};

TEST(web_access, addresses_are_port_or_host_and_port)
{
    const address_case cases[] = {
        {"8080", true, "127.0.0.1", 8080},     {"0", true, "127.0.0.1", 0},
        {"0.0.0.0:80", true, "0.0.0.0", 80},   {"[::1]:9000", true, "::1", 9000},
        {"localhost:65535", true, "localhost", 65535},
        {"65536", false, "", 0},               {"", false, "", 0},
        {":80", false, "", 0},                 {"host:", false, "", 0},
        {"::1:80", false, "", 0},              {"[]:80", false, "", 0},
        {"80a", false, "", 0},                 {"123456", false, "", 0},
    };
    for (const address_case& c : cases) {
        web_address a;
        std::string error;
        ASSERT_EQ(web_address_parse(c.text, &a, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a.host, c.host) << c.text;
            EXPECT_EQ(a.port, c.port) << c.text;
        } else {
            EXPECT_NE(error.find("give PORT"), std::string::npos) << error;
        }
    }
}

TEST(web_access, only_loopback_listens_without_a_token)
{
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},  {"127.1.2.3", true},   {"localhost", true}, {"::1", true},
        {"0.0.0.0", false},   {"192.168.1.5", false}, {"127.0.0", false},  {"127.0.0.1.5", false},
        {"127.a.0.1", false}, {"::", false},          {"1270.0.0.1", false},
    };
    for (const auto& [host, loopback] : cases) {
        EXPECT_EQ(web_is_loopback(host), loopback) << host;
        std::string refusal = web_bind_refusal(web_address{host, 8080}, false);
        EXPECT_EQ(refusal.empty(), loopback) << host;
        if (!loopback) {
            EXPECT_NE(refusal.find("--http-token-file FILE"), std::string::npos) << refusal;
        }
        EXPECT_EQ(web_bind_refusal(web_address{host, 8080}, true), "") << host;
    }
}

TEST(web_access, the_token_is_compared_whole_after_bearer)
{
    const std::string token = "0123456789abcdefXYZ";
    const std::pair<std::string, bool> cases[] = {
        {"Bearer " + token, true},
        {"Bearer " + token + "Z", false},
        {"Bearer " + token.substr(0, token.size() - 1), false},
        {"Bearer 0123456789abcdefXYz", false},
        {"bearer " + token, false},
        {"Basic " + token, false},
        {token, false},
        {"", false},
    };
    for (const auto& [header, ok] : cases)
        EXPECT_EQ(web_token_matches(header, token), ok) << header;
    EXPECT_FALSE(web_token_matches("Bearer ", "")) << "no token: nothing matches";
}

TEST(web_access, paths_with_dot_dot_or_odd_bytes_are_refused)
{
    const std::pair<std::string, bool> cases[] = {
        {"/", true},          {"/station.js", true},     {"/api/boards", true}, {"/a..b/c", true},
        {"/..", false},       {"/../etc/passwd", false}, {"/a/../b", false},    {"/a/..", false},
        {"relative", false},  {"", false},               {"/a\\..\\b", false},  {std::string("/a\0b", 4), false},
    };
    for (const auto& [path, ok] : cases)
        EXPECT_EQ(web_path_allowed(path), ok) << path;
}

TEST(web_access, a_token_file_gives_its_first_line_and_errors_never_quote_it)
{
    temp_dir dir("web-token");
    const std::pair<std::string, const char*> cases[] = {
        {"  0123456789abcdef-token \r\nsecond line\n", "0123456789abcdef-token"},
        {"short-token\n", nullptr},
        {"\n0123456789abcdef-token\n", nullptr},
    };
    for (const auto& [content, token] : cases) {
        std::ofstream((dir.path / "token").string(), std::ios::binary) << content;
        std::string got, error;
        ASSERT_EQ(web_token_read((dir.path / "token").string(), &got, &error), token != nullptr) << content;
        if (token != nullptr)
            EXPECT_EQ(got, token);
        else
            EXPECT_EQ(error.find("short-token"), std::string::npos) << error;
    }
    std::string got, error;
    EXPECT_FALSE(web_token_read((dir.path / "missing").string(), &got, &error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos);
}

TEST(web_metrics, labels_are_escaped_and_made_utf8)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"a\"b", "a\\\"b"},
        {"back\\slash", "back\\\\slash"},
        {"two\nlines", "two\\nlines"},
        {"odd \xff byte", "odd \xef\xbf\xbd byte"},
        {"<script>", "<script>"},
    };
    for (const auto& [value, label] : cases)
        EXPECT_EQ(web_metrics_label(value), label) << value;
}

TEST(web_metrics, text_of_two_boards_byte_for_byte)
{
    web_metrics m;
    web_metrics_add(&m, "/dev/a", "programmed", true, 1.5, web_port_link{2, 1});
    web_metrics_add(&m, "/dev/a", "not_opened", false, 0, web_port_link{});
    web_metrics_add(&m, "/dev/b", "no_answer", true, 60, web_port_link{10, 0});
    m.values_left["serial"] = 7;
    m.values_left["note"] = std::nullopt;  // unknown: no sample
    std::string text = web_metrics_text(m);
    const char* lines[] = {
        "zelflash_boards_total{outcome=\"no_answer\"} 1\n",
        "zelflash_boards_total{outcome=\"not_opened\"} 1\n",
        "zelflash_boards_total{outcome=\"programmed\"} 1\n",
        "zelflash_board_seconds_bucket{le=\"1\"} 0\n",
        "zelflash_board_seconds_bucket{le=\"2\"} 1\n",
        "zelflash_board_seconds_bucket{le=\"30\"} 1\n",
        "zelflash_board_seconds_bucket{le=\"60\"} 2\n",
        "zelflash_board_seconds_bucket{le=\"+Inf\"} 2\n",
        "zelflash_board_seconds_sum 61.500000\n",
        "zelflash_board_seconds_count 2\n",
        "zelflash_resends_total{port=\"/dev/a\"} 2\n",
        "zelflash_resends_total{port=\"/dev/b\"} 10\n",
        "zelflash_late_replies_total{port=\"/dev/a\"} 1\n",
        "zelflash_values_left{field=\"serial\"} 7\n",
        "# TYPE zelflash_board_seconds histogram\n",
    };
    for (const char* line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    EXPECT_EQ(text.find("field=\"note\""), std::string::npos);
    EXPECT_EQ(text.find("port=\"/dev/a\"} 0"), std::string::npos) << "a board that never ran adds no link figures";
}

value_field counter(const char* name, uint64_t start, uint64_t step, std::optional<uint64_t> last)
{
    value_field f;
    f.def.name = name;
    f.def.kind = FIELD_COUNTER;
    f.def.start = start;
    f.def.step = step;
    f.def.last = last;
    return f;
}

TEST(web_values, counters_lists_and_run_out_fields)
{
    value_field list;
    list.def.name = "mac";
    list.def.kind = FIELD_LIST;
    list.lines = {"02:00", "02:01", "02:02", "02:03"};
    value_field given;
    given.def.name = "note";
    given.def.kind = FIELD_VALUE;
    std::vector<value_field> fields = {counter("serial", 1000, 5, 1999), counter("free", 0, 1, std::nullopt), list,
                                       counter("gone", 1, 1, 10), given};
    std::vector<field_value> next = {{"serial", "1990"}, {"free", "5"}, {"mac", "02:01"}, {"note", "x"}};
    std::vector<web_field_left> left = web_values_left(fields, next);
    ASSERT_EQ(left.size(), 4u) << "a value field is not counted";
    EXPECT_EQ(left[0].field, "serial");
    EXPECT_EQ(left[0].left, std::optional<uint64_t>(2)) << "1990 and 1995";
    EXPECT_EQ(left[1].left, std::nullopt) << "no last: unknown";
    EXPECT_EQ(left[2].left, std::optional<uint64_t>(3)) << "02:01 to 02:03";
    EXPECT_EQ(left[3].left, std::optional<uint64_t>(0)) << "absent from next: run out";
    EXPECT_EQ(web_values_left({counter("c", 1, 1, 10)}, {{"c", "10"}})[0].left, std::optional<uint64_t>(1));
    EXPECT_EQ(web_values_left({counter("c", 1, 1, 10)}, {{"c", "11"}})[0].left, std::optional<uint64_t>(0));
}

TEST(web_feed, readers_get_the_events_after_theirs_and_are_told_when_they_fell_behind)
{
    web_feed feed(3, 2);
    for (const char* e : {"a", "b", "c", "d", "e"})
        feed.publish(e);
    EXPECT_EQ(feed.last_id(), 5u);
    EXPECT_EQ(feed.before_oldest(), 2u);
    struct read_case {
        uint64_t after;
        web_read result;
        std::vector<uint64_t> ids;
    };
    const read_case cases[] = {
        {2, web_read::events, {3, 4, 5}}, {4, web_read::events, {5}}, {5, web_read::events, {}},
        {1, web_read::behind, {}},        {0, web_read::behind, {}},
    };
    for (const read_case& c : cases) {
        std::vector<web_event> got;
        EXPECT_EQ(feed.events_after(c.after, &got, std::chrono::milliseconds(0)), c.result) << c.after;
        std::vector<uint64_t> ids;
        for (const web_event& e : got)
            ids.push_back(e.id);
        EXPECT_EQ(ids, c.ids) << c.after;
    }
    std::vector<web_event> got;
    feed.events_after(3, &got, std::chrono::milliseconds(0));
    EXPECT_EQ(got.front().data, "d");
    feed.close();
    EXPECT_EQ(feed.events_after(2, &got, std::chrono::seconds(30)), web_read::closed) << "no wait once closed";
}

TEST(web_feed, boards_are_numbered_from_zero_and_kept_to_the_last_few)
{
    web_feed feed(8, 2);
    for (const char* r : {"{\"n\":0}", "{\"n\":1}", "{\"n\":2}"})
        feed.add_board(r);
    const std::pair<std::pair<uint64_t, size_t>, const char*> cases[] = {
        {{0, 10}, "{\"since\":1,\"boards\":[{\"n\":1},{\"n\":2}],\"next\":3}"},
        {{2, 10}, "{\"since\":2,\"boards\":[{\"n\":2}],\"next\":3}"},
        {{1, 1}, "{\"since\":1,\"boards\":[{\"n\":1}],\"next\":2}"},
        {{3, 10}, "{\"since\":3,\"boards\":[],\"next\":3}"},
        {{9, 10}, "{\"since\":9,\"boards\":[],\"next\":9}"},
    };
    for (const auto& [ask, answer] : cases) {
        EXPECT_EQ(feed.boards_since(ask.first, ask.second), answer);
        EXPECT_FALSE(nlohmann::json::parse(answer, nullptr, false).is_discarded());
    }
}

TEST(web_feed, commands_reach_the_main_loop_in_order_and_wake_it_up_to_a_bound)
{
    web_feed feed;
    int wakes = 0;
    feed.on_command([&] { ++wakes; });
    EXPECT_TRUE(feed.command(web_command::pause));
    EXPECT_TRUE(feed.command(web_command::stop));
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(feed.take_commands(), (std::vector<web_command>{web_command::pause, web_command::stop}));
    EXPECT_TRUE(feed.take_commands().empty());
    for (uint32_t i = 0; i < WEB_FEED_COMMANDS; ++i)
        EXPECT_TRUE(feed.command(web_command::resume));
    EXPECT_FALSE(feed.command(web_command::resume)) << "a main loop that takes none is not flooded";
    EXPECT_EQ(feed.take_commands().size(), WEB_FEED_COMMANDS);
    feed.close();
    EXPECT_FALSE(feed.command(web_command::stop)) << "a station going away is not woken";
    EXPECT_EQ(wakes, 2 + static_cast<int>(WEB_FEED_COMMANDS));
}

nlohmann::json status_of(const web_feed& feed)
{
    return nlohmann::json::parse(feed.status());
}

// Two boards that never ran, on a port of their own and in a fixture's
// slot: each ends in the feed's records, events, counts and metrics.
TEST(web_listener, ended_boards_reach_the_records_the_counts_and_the_metrics)
{
    web_feed feed;
    std::map<std::string, std::string> labels = {{"lot", "L1"}};
    web_listener page(&feed, &labels, [] { return std::vector<web_field_left>{{"serial", 0}}; });
    image img;
    img.bytes.assign(256, 0xFF);
    page.watching("/tmp/dev*");
    session_board b{0, port_info{}, std::chrono::system_clock::now(), &img, 0};
    b.port.path = "/tmp/dev<1>";
    board_view v = board_unstarted(b.port.path, "", board_end::not_opened, "/tmp/dev<1>: does not open", 256);
    std::string why;
    EXPECT_TRUE(page.board_ended(b, v, &why));
    page.loop_state(web_loop_state{2, true, true, true});
    nlohmann::json st = status_of(feed);
    EXPECT_EQ(st["counts"]["boards"], 1);
    EXPECT_EQ(st["counts"]["failed"], 1);
    EXPECT_EQ(st["counts"]["failures"]["not opened"], 1);
    EXPECT_EQ(st["tiles"][0]["port"], "/tmp/dev<1>");
    EXPECT_EQ(st["tiles"][0]["state"], "failed");
    EXPECT_EQ(st["tiles"][0]["board"]["reason"], "/tmp/dev<1>: does not open");
    EXPECT_EQ(st["station"]["paused"], true);
    EXPECT_EQ(st["station"]["waiting"], 2);
    EXPECT_EQ(st["lot"][0]["left"], 0);
    EXPECT_EQ(st["event"], feed.last_id());
    nlohmann::json record = nlohmann::json::parse(feed.boards_since(0, 10))["boards"][0];
    EXPECT_EQ(record["outcome_key"], "not_opened");
    EXPECT_EQ(record["labels"]["lot"], "L1") << "the board log's record, labels and all";
    std::vector<web_event> events;
    feed.events_after(0, &events, std::chrono::milliseconds(0));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(events[0].data)["event"], "error");
    EXPECT_EQ(feed.metrics().boards.at("not_opened"), 1u);
    EXPECT_EQ(feed.metrics().seconds_count, 0u) << "it never ran";
    EXPECT_EQ(feed.metrics().values_left.at("serial"), std::optional<uint64_t>(0));
}

TEST(web_listener, an_empty_slot_shows_out_of_values_once_a_field_has_run_out)
{
    web_feed feed;
    uint64_t left = 1;
    web_listener page(&feed, nullptr, [&] { return std::vector<web_field_left>{{"serial", left}}; });
    slot_view v;
    v.number = 2;
    v.port = "/dev/slot2";
    v.phase = slot_phase::empty;
    v.news = slot_news::left;
    page.slot_changed(v);
    page.refresh_values();
    page.slot_changed(v);
    EXPECT_EQ(status_of(feed)["tiles"][0]["state"], "idle");
    left = 0;
    page.refresh_values();
    page.slot_changed(v);
    EXPECT_EQ(status_of(feed)["tiles"][0]["state"], "out_of_values");
    EXPECT_EQ(status_of(feed)["tiles"][0]["slot"], 2);
    v.phase = slot_phase::programming;
    v.news = slot_news::started;
    page.slot_changed(v);
    EXPECT_EQ(status_of(feed)["tiles"][0]["state"], "out_of_values") << "queued, not started: it waits";
}

}  // namespace
