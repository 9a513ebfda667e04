// The four modes of the display: the same run shown each its own way, the
// live rows and the summary table, JSON events, a failed standard output.
#include "outputs/display_factory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "outputs/display_live.h"
#include "lprog.h"

namespace {

board_view at(int32_t phase, uint32_t addr, uint32_t done, double seconds)
{
    board_view v;
    v.port = "/dev/ttyUSB0";
    v.state = BOARD_RUNNING;
    v.at = sink_progress{phase, addr, done, 60000, 1};
    v.seconds = seconds;
    return v;
}

TEST(display, live_rows_show_bar_percent_rate_eta_and_command)
{
    EXPECT_EQ(display_live::row(at(LPROG_ERASE, 0, 0, 0.1), 14, 0),
              "/dev/ttyUSB0   [....................]   0%       0/60000      0.0 KiB/s  ETA   --  ERASE 0x00000000");
    EXPECT_EQ(display_live::row(at(LPROG_PROGRAM, 0x7500, 30000, 3.0), 14, 0),
              "/dev/ttyUSB0   [##########..........]  50%   30000/60000      9.8 KiB/s  ETA   3s  PROGRAM 0x00007500");
    board_view done = at(LPROG_IDLE, 0, 60000, 6.0);
    done.state = BOARD_FINISHED;
    done.end = board_end_of(run_outcome::unconfirmed);
    EXPECT_EQ(display_live::row(done, 14, 0),
              "/dev/ttyUSB0   [####################] 100%   60000/60000      9.8 KiB/s  ETA   --  "
              "programmed, restart not confirmed");
    EXPECT_EQ(display_live::row(done, 14, 20), "/dev/ttyUSB0   [####");
}

TEST(display, summary_table_widens_for_long_ports)
{
    board_view a = at(LPROG_IDLE, 0, 60000, 6.5);
    a.state = BOARD_FINISHED;
    board_view b = at(LPROG_PROGRAM, 0x100, 256, 1.25);
    b.port = "/tmp/bench/a-long-port-name";
    b.state = BOARD_FINISHED;
    b.end = board_end_of(run_outcome::no_answer);
    EXPECT_EQ(display_table({a, b}),
              "port                        outcome                                bytes  seconds  retries\n"
              "/dev/ttyUSB0                programmed                             60000     6.50        1\n"
              "/tmp/bench/a-long-port-name no answer                                256     1.25        1\n");
}

std::vector<board_view> running(size_t n)
{
    std::vector<board_view> rows;
    for (size_t i = 0; i < n; ++i)
        rows.push_back(at(LPROG_PROGRAM, 0x100, 256, 1.0));
    return rows;
}

// Rows that do not fit the terminal would wrap or scroll, and the next
// paint would no longer find them where it left them.
TEST(display, live_paint_fits_the_terminal_and_counts_the_rows_left_out)
{
    struct row {
        size_t boards;
        terminal_size size;
        std::vector<std::string> lines;  // how each line starts
        std::vector<size_t> lengths;     // and its length
    };
    const std::string footer = "0 done, 0 failed, 5 running, 0 waiting; watching /tmp/dev*; Ctrl-C stops";
    const row rows[] = {
        {2, {200, 24}, {"/dev/ttyUSB0 ", "/dev/ttyUSB0 ", "0 done"}, {101, 101, footer.size()}},
        {2, {40, 24}, {"/dev/ttyUSB0 ", "/dev/ttyUSB0 ", "0 done"}, {39, 39, 39}},
        {5, {80, 6}, {"/dev/ttyUSB0 ", "/dev/ttyUSB0 ", "/dev/ttyUSB0 ", "+2 more boards", "0 done"},
         {79, 79, 79, 14, 72}},
        {5, {80, 4}, {"/dev/ttyUSB0 ", "+4 more boards", "0 done"}, {79, 14, 72}},
        {2, {80, 3}, {"+2 more boards", "0 done"}, {14, 72}},
        {2, {10, 3}, {"+2 more b", "0 done, 0"}, {9, 9}},
    };
    for (const row& r : rows) {
        std::vector<std::string> lines = display_live::live_lines(running(r.boards), footer, r.size);
        SCOPED_TRACE(std::to_string(r.boards) + " boards on " + std::to_string(r.size.columns) + "x" +
                     std::to_string(r.size.rows));
        ASSERT_EQ(lines.size(), r.lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_THAT(lines[i], testing::StartsWith(r.lines[i]));
            EXPECT_EQ(lines[i].size(), r.lengths[i]) << lines[i];
        }
    }
    EXPECT_EQ(display_live::live_lines(running(1), "", {80, 24}).size(), 1u) << "no footer line when there is none";
    EXPECT_EQ(display_live::live_lines(running(3), "", {80, 3}).back(), "+2 more boards");
    EXPECT_EQ(display_live::live_lines(running(3), "", {80, 3}).size(), 2u);
}

// Standard output and error of a display, as files to read back.
struct captured {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ~captured()
    {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string text(FILE* f)
    {
        std::rewind(f);
        std::string all;
        char buffer[512];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            all.append(buffer, n);
        return all;
    }
};

// One board programmed, one whose port did not open, a notice, the totals.
void show_a_run(display* d)
{
    image img;
    img.name = "fw.bin";
    img.addr = 0x1000;
    img.bytes.assign(1000, 0);
    board_view v = at(LPROG_PROGRAM, 0x1000, 0, 0);
    v.port = "COM7";
    v.at.total = 1000;
    v.at.retries = 0;
    d->started(v, img);
    v.at.done = 500;
    v.seconds = 1.0;
    d->progressed(v);
    d->redraw({v});
    v.state = BOARD_FINISHED;
    v.at = sink_progress{LPROG_IDLE, 0, 1000, 1000, 1};
    v.seconds = 2.0;
    v.end = board_end_of(run_outcome::programmed);
    d->finished(v);
    d->finished(board_unstarted("COM8", "", board_end::not_opened, "COM8: cannot open the port", 1000));
    d->notice("stopping: no new boards");
    d->totals(board_tally{1, 1, 0, 0});
}

struct mode_case {
    const char* name;
    display_mode mode;
    std::string out;
    std::string err;
};

const std::string programmed_line = "COM7: programmed in 2.00 s, 1000 bytes, 1 retry\n";
const std::string totals_line = "zelflash: 1 board programmed, 1 failed\n";
const std::string failures = "zelflash: COM8: cannot open the port\n";
const std::string notices = "zelflash: stopping: no new boards\n";

std::string live_paint()
{
    board_view v = at(LPROG_PROGRAM, 0x1000, 500, 1.0);
    v.port = "COM7";
    v.at.total = 1000;
    return "\r\x1b[2K" + display_live::row(v, 14, 79) + "\n\x1b[J";  // a file is taken as 80 x 24
}

class display_modes : public testing::TestWithParam<mode_case> {};

TEST_P(display_modes, show_the_same_run_each_their_own_way)
{
    captured c;
    show_a_run(display_of(GetParam().mode, c.out, c.err).get());
    EXPECT_EQ(captured::text(c.out), GetParam().out);
    EXPECT_EQ(captured::text(c.err), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    display, display_modes,
    testing::Values(mode_case{"plain", DISPLAY_PLAIN,
                              "COM7: writing fw.bin, 1000 bytes at 0x00001000\nCOM7:  50% 500/1000 bytes, 0.5 KiB/s\n" +
                                  programmed_line + totals_line,
                              failures + notices},
                    mode_case{"live", DISPLAY_LIVE, live_paint() + "\r\x1b[1A\x1b[J" + programmed_line + totals_line,
                              failures + notices},
                    mode_case{"quiet", DISPLAY_QUIET, "", failures}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(display, json_mode_shows_the_same_run_as_one_event_a_line)
{
    captured c;
    show_a_run(display_of(DISPLAY_JSON, c.out, c.err).get());
    std::vector<std::string> events;
    std::istringstream lines(captured::text(c.out));
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json e = nlohmann::json::parse(line);
        events.push_back(e["event"].get<std::string>() + " " + e["port"].dump());
    }
    EXPECT_THAT(events, testing::ElementsAre("start \"COM7\"", "progress \"COM7\"", "done \"COM7\"",
                                             "error \"COM8\"", "totals null"));
    EXPECT_EQ(captured::text(c.err), notices) << "json mode keeps a board's failure in its events";
}

// A run as the session tells it, and the same run told the display
// directly: a listener must draw each event as the display's call for it.
void tell_a_run(session_listener* l, image* img)
{
    session_board b{0, port_info{}, {}, img};
    board_view v = at(LPROG_PROGRAM, 0x1000, 500, 1.0);
    v.port = "COM7";
    v.at.total = 1000;
    l->watching("/dev/ttyUSB*");
    l->board_started(b, v);
    l->board_progressed(v);
    l->rows({v}, "1 running");
    l->interrupted();
    l->stopping();
    v.state = BOARD_FINISHED;
    v.end = board_end_of(run_outcome::no_answer);
    v.message = "COM7: no answer to ERASE at 0x00001000 after 10 attempts";
    std::string why;
    EXPECT_TRUE(l->board_ended(b, v, &why));
    l->failed("the log is full; no new boards are taken");
    l->totals(board_tally{0, 1, 0, 0});
}

void show_the_told_run(display* d, image* img)
{
    board_view v = at(LPROG_PROGRAM, 0x1000, 500, 1.0);
    v.port = "COM7";
    v.at.total = 1000;
    d->watching("/dev/ttyUSB*");
    d->started(v, *img);
    d->progressed(v);
    d->redraw({v}, "1 running");
    d->interrupted();
    d->notice("stopping: no new boards; the running ones finish (Ctrl-C again interrupts them)");
    v.state = BOARD_FINISHED;
    v.end = board_end_of(run_outcome::no_answer);
    v.message = "COM7: no answer to ERASE at 0x00001000 after 10 attempts";
    d->finished(v);
    d->failure("the log is full; no new boards are taken");
    d->totals(board_tally{0, 1, 0, 0});
}

TEST(display, as_a_session_listener_it_draws_each_event_as_told_directly)
{
    image img;
    img.name = "fw.bin";
    img.addr = 0x1000;
    img.bytes.assign(1000, 0);
    for (display_mode mode : {DISPLAY_LIVE, DISPLAY_PLAIN, DISPLAY_JSON, DISPLAY_QUIET}) {
        captured heard, told;
        std::unique_ptr<display> d = display_of(mode, heard.out, heard.err);
        display_listener listener(d.get());
        tell_a_run(&listener, &img);
        show_the_told_run(display_of(mode, told.out, told.err).get(), &img);
        EXPECT_EQ(captured::text(heard.out), captured::text(told.out)) << "mode " << mode;
        EXPECT_EQ(captured::text(heard.err), captured::text(told.err)) << "mode " << mode;
        EXPECT_NE(captured::text(heard.out) + captured::text(heard.err), "") << "mode " << mode;
        EXPECT_EQ(listener.lost(), "");
    }
}

TEST(display, every_json_event_names_its_port_or_null)
{
    captured c;
    std::unique_ptr<display> d = display_of(DISPLAY_JSON, c.out, c.err);
    d->problem("fw.hex line 7: checksum is 0x3A, the record says 0x3B");
    d->problem("COM7: cannot open the port", "COM7");
    d->finished(board_unstarted("COM8", "", board_end::not_opened, "COM8: cannot open the port", 600));
    std::vector<nlohmann::json> events;
    std::istringstream lines(captured::text(c.out));
    for (std::string line; std::getline(lines, line);)
        events.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], (nlohmann::json{{"event", "error"},
                                         {"port", nullptr},
                                         {"message", "fw.hex line 7: checksum is 0x3A, the record says 0x3B"}}));
    EXPECT_EQ(events[1]["port"], "COM7");
    EXPECT_EQ(events[2]["event"], "error");
    EXPECT_EQ(events[2]["port"], "COM8");
    EXPECT_EQ(events[2]["outcome"], "not opened");
    EXPECT_EQ(events[2]["outcome_key"], "not_opened");
    EXPECT_EQ(events[2]["total"], 600);
    EXPECT_TRUE(events[2]["link"].is_null());
    EXPECT_EQ(captured::text(c.err), "") << "json mode keeps its failures in its events";
}

TEST(display, plain_lines_count_in_the_singular_and_plural)
{
    captured c;
    std::unique_ptr<display> d = display_of(DISPLAY_PLAIN, c.out, c.err);
    board_view one = at(LPROG_IDLE, 0, 1, 1.0);
    one.at.total = 1;
    one.state = BOARD_FINISHED;
    one.end = board_end_of(run_outcome::programmed);
    d->finished(one);
    board_view two = one;
    two.at = sink_progress{LPROG_IDLE, 0, 2, 2, 2};
    d->finished(two);
    EXPECT_EQ(captured::text(c.out), "/dev/ttyUSB0: programmed in 1.00 s, 1 byte, 1 retry\n"
                                     "/dev/ttyUSB0: programmed in 1.00 s, 2 bytes, 2 retries\n");
}

TEST(display, a_failed_standard_output_is_reported_once_and_then_left_alone)
{
    captured c;
    std::string path = (std::filesystem::temp_directory_path() / "zelflash-display-read-only").string();
    std::fclose(std::fopen(path.c_str(), "wb"));
    FILE* read_only = std::fopen(path.c_str(), "rb");  // every write to it fails
    ASSERT_NE(read_only, nullptr);
    {
        std::unique_ptr<display> d = display_of(DISPLAY_JSON, read_only, c.err);
        display_listener listener(d.get());
        EXPECT_EQ(d->output_error(), "");
        board_view v = at(LPROG_ERASE, 0, 0, 0.1);
        d->started(v, image{});
        EXPECT_THAT(d->output_error(), testing::StartsWith("standard output: "));
        EXPECT_EQ(listener.lost(), d->output_error()) << "the session's run fails with it";
        d->problem("one more event");
    }
    std::fclose(read_only);
    std::filesystem::remove(path);
    std::string err = captured::text(c.err);
    EXPECT_THAT(err, testing::StartsWith("zelflash: cannot write standard output ("));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// A slot's line in each state, as the operator reads it.
TEST(display, a_slot_says_what_the_operator_is_to_do)
{
    slot_view v;
    v.number = 3;
    v.port = "/dev/ttyUSB2";
    auto text = [&v](slot_phase p) {
        v.phase = p;
        return display_slot_text(v);
    };
    EXPECT_EQ(text(slot_phase::unplugged), "slot 3: adapter unplugged (/dev/ttyUSB2): plug it back in");
    EXPECT_EQ(text(slot_phase::empty), "slot 3: waiting for a board");
    EXPECT_EQ(text(slot_phase::ready), "slot 3: board seated, starting");
    EXPECT_EQ(text(slot_phase::programming), "slot 3: board seated, waiting for its turn");
    v.board = at(LPROG_PROGRAM, 0x6000, 24000, 2.0);
    EXPECT_EQ(text(slot_phase::programming), "slot 3: programming 40 %");
    v.board.state = BOARD_FINISHED;
    v.board.end = board_end_of(run_outcome::no_answer);
    EXPECT_EQ(text(slot_phase::leaving), "slot 3: failed (no answer): remove the board");
    v.programmed = true;
    v.values = {{"serial", "1017"}, {"mac", "02:00:00:00:00:01"}};
    EXPECT_EQ(text(slot_phase::leaving), "slot 3: done, serial 1017, mac 02:00:00:00:00:01: remove the board");
    v.flagged = true;
    EXPECT_EQ(text(slot_phase::leaving), "slot 3: still in the loader after programming: remove the board");
}

}  // namespace
