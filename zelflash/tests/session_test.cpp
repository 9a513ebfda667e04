// A session's boards against the fake device, one at a time: the hooks and
// the listeners see every board start and end once, a refusal or a failed record stops the
// taking of boards, and the waiting ones end "not started".
#include "engine/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "fake_device.h"
#include "local_time.h"
#include "lprog.h"
#include "commands/options.h"
#include "platform/file_lock.h"
#include "station/station.h"
#include "temp_dir.h"

namespace {

using testing::_;
using testing::AllOf;
using testing::Field;
using testing::Return;

// notice() and problem() end in failure(), so that one method hears every
// line for the user.
class mock_display : public display {
public:
    mock_display() : display(display_streams{}) {}
    MOCK_METHOD(void, started, (const board_view&, const image&), (override));
    MOCK_METHOD(void, progressed, (const board_view&), (override));
    MOCK_METHOD(void, finished, (const board_view&), (override));
    MOCK_METHOD(void, summary, (const std::vector<board_view>&), (override));
    MOCK_METHOD(void, totals, (const board_tally&), (override));
    MOCK_METHOD(void, failure, (const std::string&), (override));
};

class mock_hooks : public session_hooks {
public:
    MOCK_METHOD(bool, starting, (const session_board&, image*, std::vector<field_value>*, std::string*), (override));
    MOCK_METHOD(bool, ended, (const session_board&, const board_view&, std::string*), (override));
};

class mock_listener : public session_listener {
public:
    MOCK_METHOD(void, board_started, (const session_board&, const board_view&), (override));
    MOCK_METHOD(bool, board_ended, (const session_board&, const board_view&, std::string*), (override));
    MOCK_METHOD(void, failed, (const std::string&), (override));
    MOCK_METHOD(std::string, lost, (), (const, override));
};

// A board's view that ended with `end` on `port`.
auto ended_as(const char* port, board_end end)
{
    return AllOf(Field(&board_view::port, port), Field(&board_view::state, BOARD_FINISHED),
                 Field(&board_view::end, end));
}

auto board_on(const char* port)
{
    return Field(&session_board::port, Field(&port_info::path, port));
}

struct session_test : testing::Test {
    testing::NiceMock<mock_display> shown;
    display_listener heard{&shown};
    testing::StrictMock<mock_hooks> hooks;
    image img;
    session_rules rules;

    void SetUp() override
    {
        use_fake_device();
        fake.silent_read_ms = 10;
        rules.seams = job_seams{&fake_device_ops, fixed_clock};
        img.bytes.assign(300, 0x5A);
        img.addr = 0x1000;
        rules.jobs = 1;  // one board on the one fake device at a time
        rules.unstarted_hint = "try again";
    }

    static port_info on(const char* path)
    {
        port_info p;
        p.path = path;
        return p;
    }

    // Starts and follows boards until none waits or runs, or a generous deadline.
    void run_queue(session* s)
    {
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (s->running() + s->waiting() > 0 && std::chrono::steady_clock::now() < give_up) {
            s->start_queued();
            s->take_news(std::chrono::milliseconds(100));
        }
        ASSERT_EQ(s->running() + s->waiting(), 0u) << "the boards did not end";
    }
};

// The first PROGRAM of the image's first chunk, as the device received it.
bytes first_chunk_sent(size_t board)
{
    size_t seen = 0;
    for (const bytes& f : device.frames) {
        command c = command_of(f);
        if (c.name == "PROGRAM" && c.p2 != 0 && c.p1 == 0x1000 && seen++ == board * 2)
            return c.data;
    }
    return {};
}

TEST_F(session_test, each_board_is_sent_its_own_copy_as_the_starting_hook_patched_it)
{
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    s.queue(on("COM7"));
    s.queue(on("COM8"));
    uint8_t serial = 0x10;
    EXPECT_CALL(hooks, starting(_, _, _, _)).Times(2).WillRepeatedly([&](const session_board&, image* copy, std::vector<field_value>*, std::string*) {
        copy->bytes[0] = serial++;
        return true;
    });
    testing::InSequence order;
    EXPECT_CALL(hooks, ended(board_on("COM7"), ended_as("COM7", board_end_of(run_outcome::programmed)), _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM8"), ended_as("COM8", board_end_of(run_outcome::programmed)), _)).WillOnce(Return(true));
    run_queue(&s);
    EXPECT_EQ(first_chunk_sent(0).at(0), 0x10);
    EXPECT_EQ(first_chunk_sent(1).at(0), 0x11);
    EXPECT_EQ(img.bytes[0], 0x5A) << "the session's image is never patched";
    EXPECT_EQ(s.tally().done, 2);
    EXPECT_EQ(s.exit_status(), EXIT_PROGRAMMED);
}

TEST_F(session_test, a_refused_board_and_the_waiting_ones_end_not_started)
{
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    for (const char* p : {"COM7", "COM8", "COM9"})
        s.queue(on(p));
    EXPECT_CALL(hooks, starting(board_on("COM7"), _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, starting(board_on("COM8"), _, _, _)).WillOnce([](const session_board&, image*, std::vector<field_value>*, std::string* why) {
        *why = "serials.txt: no serial number left";
        return false;
    });
    EXPECT_CALL(hooks, ended(_, _, _)).Times(3).WillRepeatedly(Return(true));
    EXPECT_CALL(shown, failure("serials.txt: no serial number left; no new boards are taken"));
    EXPECT_CALL(shown, finished(ended_as("COM7", board_end_of(run_outcome::programmed))));
    for (const char* p : {"COM8", "COM9"})
        EXPECT_CALL(shown, finished(AllOf(ended_as(p, board_end::not_started),
                                          Field(&board_view::message, std::string(p) + ": not programmed: zelflash "
                                                                                       "stopped before its turn came; "
                                                                                       "try again"))));
    run_queue(&s);
    EXPECT_FALSE(s.taking());
    EXPECT_EQ(s.tally().not_started, 2);
    EXPECT_EQ(s.exit_status(), EXIT_FAILED);
}

TEST_F(session_test, a_board_that_cannot_be_recorded_halts_the_session)
{
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    s.queue(on("COM7"));
    s.queue(on("COM8"));
    EXPECT_CALL(hooks, starting(_, _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM7"), _, _)).WillOnce([](const session_board&, const board_view&, std::string* why) {
        *why = "boards.log: cannot record the board: No space left on device";
        return false;
    });
    EXPECT_CALL(hooks, ended(board_on("COM8"), ended_as("COM8", board_end::not_started), _)).WillOnce(Return(true));
    EXPECT_CALL(shown, failure("boards.log: cannot record the board: No space left on device; no new boards are taken"));
    run_queue(&s);
    EXPECT_EQ(s.tally().done, 1);
    EXPECT_EQ(s.exit_status(), EXIT_FAILED) << "a station that cannot record fails its run";
}

port_handle absent_or_fake(const char* name)
{
    return std::string(name) == "COM9" ? nullptr : fake_open(name);
}

TEST_F(session_test, a_port_that_does_not_open_ends_not_opened_and_the_next_takes_its_turn)
{
    port_ops ops = fake_device_ops;
    ops.open = absent_or_fake;
    rules.seams.ops = &ops;
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    s.queue(on("COM9"));
    s.queue(on("COM7"));
    EXPECT_CALL(hooks, ended(board_on("COM9"), ended_as("COM9", board_end::not_opened), _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, starting(board_on("COM7"), _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM7"), ended_as("COM7", board_end_of(run_outcome::programmed)), _)).WillOnce(Return(true));
    run_queue(&s);
    EXPECT_EQ(s.tally().failed, 1);
    EXPECT_EQ(s.exit_status(), EXIT_FAILED);
}

TEST_F(session_test, a_board_withdrawn_before_its_turn_is_neither_run_nor_counted)
{
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    s.queue(on("COM7"));
    s.withdraw(s.queue(on("COM8")));
    EXPECT_CALL(hooks, starting(board_on("COM7"), _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM7"), _, _)).WillOnce(Return(true));
    run_queue(&s);
    EXPECT_EQ(s.tally().done + s.tally().failed + s.tally().not_started, 1);
    EXPECT_EQ(fake.opened, std::vector<std::string>{"COM7"});
}

// A board queued once the session takes no more boards ends "not started"
// at once: named, counted and handed to the hooks, never run.
TEST_F(session_test, a_board_queued_while_the_session_winds_down_is_counted_not_started)
{
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    s.stop_taking();
    EXPECT_CALL(hooks, ended(board_on("COM8"), ended_as("COM8", board_end::not_started), _)).WillOnce(Return(true));
    s.queue(on("COM8"));
    EXPECT_EQ(s.tally().not_started, 1);
    EXPECT_TRUE(fake.opened.empty());
}

// The listeners hear each board start and end once, in the order they
// subscribed, its end after the hooks'; what the hook and the listeners
// could not keep of a board halts the session once, their reasons joined.
TEST_F(session_test, every_listener_hears_each_board_once_in_order_after_the_hooks)
{
    testing::StrictMock<mock_listener> first, second;
    session s(rules, img, &hooks);
    s.subscribe(&first);
    s.subscribe(&second);
    s.queue(on("COM7"));
    s.queue(on("COM8"));
    EXPECT_CALL(first, lost()).WillRepeatedly(Return(""));
    EXPECT_CALL(second, lost()).WillRepeatedly(Return(""));
    auto refuse = [](const char* text) {
        return [text](const session_board&, const board_view&, std::string* why) {
            *why = text;
            return false;
        };
    };
    const std::string halted = "serials: disk full; boards.log: disk full; no new boards are taken";
    testing::InSequence order;
    EXPECT_CALL(hooks, starting(board_on("COM7"), _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(first, board_started(board_on("COM7"), Field(&board_view::state, BOARD_RUNNING)));
    EXPECT_CALL(second, board_started(board_on("COM7"), Field(&board_view::state, BOARD_RUNNING)));
    auto com7 = ended_as("COM7", board_end_of(run_outcome::programmed));
    EXPECT_CALL(hooks, ended(board_on("COM7"), com7, _)).WillOnce(refuse("serials: disk full"));
    EXPECT_CALL(first, board_ended(board_on("COM7"), com7, _)).WillOnce(refuse("boards.log: disk full"));
    EXPECT_CALL(second, board_ended(board_on("COM7"), com7, _)).WillOnce(Return(true));
    EXPECT_CALL(first, failed(halted));
    EXPECT_CALL(second, failed(halted));
    auto com8 = ended_as("COM8", board_end::not_started);
    EXPECT_CALL(hooks, ended(board_on("COM8"), com8, _)).WillOnce(Return(true));
    EXPECT_CALL(first, board_ended(board_on("COM8"), com8, _)).WillOnce(Return(true));
    EXPECT_CALL(second, board_ended(board_on("COM8"), com8, _)).WillOnce(Return(true));
    run_queue(&s);
    EXPECT_EQ(s.tally().done, 1);
    EXPECT_EQ(s.exit_status(), EXIT_FAILED);
}

// A listener that lost what it was told (standard output) fails a run whose
// boards were all programmed.
TEST_F(session_test, a_listener_that_lost_what_it_was_told_fails_the_run)
{
    for (const char* lost : {"", "standard output: Broken pipe"}) {
        testing::NiceMock<mock_listener> told;
        ON_CALL(told, board_ended(_, _, _)).WillByDefault(Return(true));
        ON_CALL(told, lost()).WillByDefault(Return(lost));
        session s(rules, img, &hooks);
        s.subscribe(&told);
        s.queue(on("COM7"));
        EXPECT_CALL(hooks, starting(_, _, _, _)).WillOnce(Return(true));
        EXPECT_CALL(hooks, ended(_, _, _)).WillOnce(Return(true));
        run_queue(&s);
        EXPECT_EQ(s.tally().done, 1);
        EXPECT_EQ(s.exit_status(), *lost == 0 ? EXIT_PROGRAMMED : EXIT_FAILED) << lost;
    }
}

// The state file cannot record a programmed board's end (a full disk): the
// board log still hears of it, the failure names the board, and nothing
// more is handed out.
TEST_F(session_test, a_board_the_state_file_cannot_record_is_still_logged_and_named)
{
    temp_dir dir("zelflash-session");
    station_setup setup;
    setup.state_path = (dir.path / "line.serials").string();
    field_spec serial;
    serial.name = "serial", serial.address = 0x1010, serial.start = 7000;
    setup.fields = {serial};
    setup.field_origins = {"--serial"};
    setup.new_state = true;
    station st(setup, &hooks);
    ASSERT_TRUE(st.open(img, &shown));
    session s(rules, img, &st);
    s.subscribe(&heard);
    s.queue(on("COM7"));
    s.queue(on("COM8"));
    int appends = 0;  // the reservation goes whole, the end record finds the disk full
    file_lock_set_append_cut([&](size_t size) { return ++appends == 1 ? size : 0; });
    EXPECT_CALL(hooks, starting(board_on("COM7"), _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM7"), ended_as("COM7", board_end_of(run_outcome::programmed)), _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM8"), ended_as("COM8", board_end::not_started), _)).WillOnce(Return(true));
    EXPECT_CALL(shown, failure(testing::StartsWith("COM7 (programmed) is not recorded in the state file")));
    run_queue(&s);
    file_lock_set_append_cut(nullptr);
    EXPECT_EQ(s.tally().done, 1);
    EXPECT_EQ(s.exit_status(), EXIT_FAILED);
}

}  // namespace

namespace {

// COM9 does not open before this moment (ENOENT, as while udev makes its
// node); the opens tried on it are counted.
std::chrono::steady_clock::time_point com9_opens_at;
int com9_opens_tried = 0;

port_handle half_ready_or_fake(const char* name)
{
    if (std::string(name) == "COM9") {
        ++com9_opens_tried;
        if (std::chrono::steady_clock::now() < com9_opens_at) {
            errno = ENOENT;
            return nullptr;
        }
    }
    return fake_open(name);
}

struct grace_case {
    const char* label;
    int unopenable_ms;  // -1: never opens
    int grace_ms;
    board_end outcome;
};

class open_grace : public session_test, public testing::WithParamInterface<grace_case> {};

TEST_P(open_grace, a_port_that_appears_half_ready_is_tried_again_until_its_grace_is_over)
{
    using namespace std::chrono;
    const grace_case& c = GetParam();
    port_ops ops = fake_device_ops;
    ops.open = half_ready_or_fake;
    rules.seams.ops = &ops;
    rules.open_grace = milliseconds(c.grace_ms);
    session s(rules, img, &hooks);
    s.subscribe(&heard);
    steady_clock::time_point queued = steady_clock::now(), ended{};
    com9_opens_at = c.unopenable_ms < 0 ? steady_clock::time_point::max() : queued + milliseconds(c.unopenable_ms);
    com9_opens_tried = 0;
    s.queue(on("COM9"));
    if (c.outcome == board_end_of(run_outcome::programmed))
        EXPECT_CALL(hooks, starting(board_on("COM9"), _, _, _)).WillOnce(Return(true));
    EXPECT_CALL(hooks, ended(board_on("COM9"), ended_as("COM9", c.outcome), _))
        .WillOnce([&](const session_board&, const board_view&, std::string*) {
            ended = steady_clock::now();
            return true;
        });
    run_queue(&s);
    EXPECT_EQ(s.tally().failed, c.outcome == board_end_of(run_outcome::programmed) ? 0 : 1);
    if (c.grace_ms == 0) {
        EXPECT_EQ(com9_opens_tried, 1) << "without a grace the first failed open counts";
    } else if (c.outcome == board_end::not_opened) {
        EXPECT_GE(ended - queued, milliseconds(c.grace_ms)) << "ended before its grace was over";
        EXPECT_GE(com9_opens_tried, c.grace_ms / SESSION_OPEN_RETRY_MS / 4) << "tried again every 50 ms or so";
    } else {
        EXPECT_GE(com9_opens_tried, 2);
        EXPECT_GE(ended - queued, milliseconds(c.unopenable_ms));
    }
}

INSTANTIATE_TEST_SUITE_P(session, open_grace, testing::Values(
    grace_case{"unopenable_for_300_ms_within_a_1_s_grace", 300, 1000, board_end_of(run_outcome::programmed)},
    grace_case{"never_opens_within_a_1_s_grace", -1, 1000, board_end::not_opened},
    grace_case{"unopenable_for_300_ms_without_a_grace", 300, 0, board_end::not_opened}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
