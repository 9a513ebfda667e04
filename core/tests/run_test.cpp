// The bounded run of a job (run_job) against the fake device: how each limit
// ends a run, the retry count, the erase wait, cancellation and progress.
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>
#include <ostream>

#include "fake_device.h"
#include "local_time.h"
#include "lprog.h"
#include "sink.h"
#include "job.h"

namespace {

enum run_test_constants : uint32_t {
    BASE = 0x10000,  // device address of the image
    SIZE = 600,      // three chunks, the last one padded
    CHUNK = 256,
    ALL = 8,  // exchanges of a clean run: ERASE, the erase wait, 3 chunks, the first again, RTC_SET, RESET
    NEVER = 0xFFFFFFFF,
};

bool is_erase_wait(const bytes& frame)
{
    command c = command_of(frame);
    return c.name == "PROGRAM" && c.p1 == 0 && c.p2 == 0;
}

size_t erase_waits()
{
    return static_cast<size_t>(std::count_if(device.frames.begin(), device.frames.end(), is_erase_wait));
}

// What the job's sink heard; from `cancel_after` exchanges on it asks to stop.
struct listener {
    std::vector<sink_progress> reports;
    size_t cancel_after = NEVER;
};

struct run_fixture : testing::Test {
    listener ears;
    sink out{&ears, nullptr,
             [](void* l, const sink_progress* p) { static_cast<listener*>(l)->reports.push_back(*p); },
             [](void* l) {
                 auto* e = static_cast<listener*>(l);
                 return e->reports.size() >= e->cancel_after ? 1 : 0;
             }};

    void SetUp() override
    {
        use_fake_device();
        fake.silent_read_ms = 10;
    }

    run_result run(uint32_t attempts, uint32_t erase_ms = 60000, uint32_t silence_ms = 0)
    {
        bytes image(SIZE);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i * 13);
        job_config request;
        request.port = "fake";
        request.chunk = CHUNK;
        request.addr = BASE;
        request.out = &out;
        request.quick = 1;
        request.seams = job_seams{&fake_device_ops, fixed_clock};
        job_ptr j(job_start(request, fake_line(fake_device_ops), image.data(), SIZE));
        EXPECT_NE(j, nullptr);
        if (!j)
            return run_result{};
        run_limits limits{attempts, erase_ms, silence_ms};
        run_result r = run_job(j.get(), &limits);
        EXPECT_EQ(fake.closed, 0) << "the job holds the port until it goes";
        j.reset();
        EXPECT_EQ(fake.closed, 1);
        return r;
    }
};

using policy = bool (*)(const bytes& frame);

struct run_case {
    const char* name;
    policy acknowledges;  // which frames get an ACK
    uint32_t dies_at;     // from this frame on the line is dead and silent
    uint32_t attempts;
    // The result, and the frames sent.
    run_outcome outcome;
    int32_t phase;
    uint32_t addr, attempts_made, retries, done;
    size_t frames;
};

void PrintTo(const run_case& c, std::ostream* os)
{
    *os << c.name;
}

const policy all = [](const bytes&) { return true; };
// Only a frame sent again: the first reply to every command is lost.
const policy repeats = [](const bytes& f) { return device.frames.size() >= 2 && device.frames.end()[-2] == f; };

const run_case run_cases[] = {
    {"programmed", all, NEVER, 3, run_outcome::programmed, LPROG_IDLE, 0, 0, 0, SIZE, ALL},
    // ERASE goes out at most twice, each frame waited for as long as an erase may take.
    {"silent", [](const bytes&) { return false; }, NEVER, 3, run_outcome::no_answer, LPROG_ERASE, BASE, RUN_ERASE_ATTEMPTS,
     RUN_ERASE_ATTEMPTS - 1, 0, RUN_ERASE_ATTEMPTS},
    {"one_attempt_allowed", repeats, NEVER, 1, run_outcome::no_answer, LPROG_ERASE, BASE, 1, 0, 0, 1},
    // Every command sent twice; the erase wait's second poll is no retry.
    {"first_reply_of_each_lost", repeats, NEVER, 2, run_outcome::programmed, LPROG_IDLE, 0, 0, ALL - 1, SIZE, 2 * ALL},
    {"reset_unanswered", [](const bytes& f) { return command_of(f).name != "RESET"; }, NEVER, 4, run_outcome::unconfirmed,
     LPROG_RESET, 0, 4, 4, SIZE, ALL - 1 + 4},
    {"second_chunk_unanswered", [](const bytes& f) { return command_of(f).p1 != BASE + CHUNK; }, NEVER, 3,
     run_outcome::no_answer, LPROG_PROGRAM, BASE + CHUNK, 3, 3, CHUNK, 3 + 3},
    {"dead_from_the_start", all, 0, 10, run_outcome::disconnected, LPROG_ERASE, BASE, 1, 0, 0, 1},
    {"dead_in_the_erase_wait", all, 1, 10, run_outcome::disconnected, LPROG_WAIT_ERASE, 0, 1, 0, 0, 2},
    {"dead_at_the_second_chunk", all, 3, 10, run_outcome::disconnected, LPROG_PROGRAM, BASE + CHUNK, 1, 1, CHUNK, 4},
};

class run_outcomes : public run_fixture, public testing::WithParamInterface<run_case> {};

TEST_P(run_outcomes, result_says_where_and_why_the_run_ended)
{
    const run_case& c = GetParam();
    device.acknowledges = [&c](const bytes& frame) {
        if (device.frames.size() > c.dies_at)
            fake.alive = false;
        return fake.alive && c.acknowledges(frame);
    };
    run_result r = run(c.attempts);
    EXPECT_EQ(r.outcome, c.outcome) << run_outcome_text(r.outcome);
    EXPECT_EQ(r.phase, c.phase);
    EXPECT_EQ(r.addr, c.addr);
    EXPECT_EQ(r.attempts, c.attempts_made);
    EXPECT_EQ(r.retries, c.retries);
    EXPECT_EQ(r.done, c.done);
    EXPECT_EQ(r.total, uint32_t{SIZE});
    EXPECT_EQ(device.frames.size(), c.frames);
}

INSTANTIATE_TEST_SUITE_P(run, run_outcomes, testing::ValuesIn(run_cases),
                         [](const testing::TestParamInfo<run_case>& info) { return info.param.name; });

// A silence bound of 50 ms is five silent reads of the fake port: it ends a
// run that stops hearing its device while it writes, but neither the erase
// nor RESET, which a device may answer late or not at all.
struct silence_case {
    const char* name;
    policy acknowledges;
    run_outcome outcome;
    int32_t phase;
};

void PrintTo(const silence_case& c, std::ostream* os)
{
    *os << c.name;
}

const silence_case silence_cases[] = {
    {"second_chunk_unanswered", [](const bytes& f) { return command_of(f).p1 != BASE + CHUNK; },
     run_outcome::board_left, LPROG_PROGRAM},
    {"clock_unanswered", [](const bytes& f) { return command_of(f).name != "RTC_SET"; }, run_outcome::board_left,
     LPROG_SET_CLOCK},
    {"erase_wait_long", [](const bytes& f) { return !is_erase_wait(f) || erase_waits() > 8; }, run_outcome::programmed,
     LPROG_IDLE},
    {"reset_unanswered", [](const bytes& f) { return command_of(f).name != "RESET"; }, run_outcome::unconfirmed,
     LPROG_RESET},
};

class run_silence : public run_fixture, public testing::WithParamInterface<silence_case> {};

TEST_P(run_silence, a_device_silent_while_written_ends_the_run_board_left)
{
    device.acknowledges = GetParam().acknowledges;
    run_result r = run(30, 60000, 50);
    EXPECT_EQ(r.outcome, GetParam().outcome) << run_outcome_text(r.outcome);
    EXPECT_EQ(r.phase, GetParam().phase);
    if (r.outcome == run_outcome::board_left) {
        EXPECT_LT(r.attempts, 30u) << "ended by the silence, not by the attempts";
    }
}

std::string silence_name(const testing::TestParamInfo<silence_case>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(run, run_silence, testing::ValuesIn(silence_cases), silence_name);

// The tick moves 10 ms on each silent read, so the erase wait lasts many
// polls; none of them is a retry, and the attempt limit (2) does not apply.
TEST_F(run_fixture, erase_wait_is_bounded_by_time_alone)
{
    device.acknowledges = [](const bytes& f) { return !is_erase_wait(f); };
    run_result r = run(2, 1000);
    EXPECT_EQ(r.outcome, run_outcome::erase_timeout);
    EXPECT_EQ(r.phase, LPROG_WAIT_ERASE);
    EXPECT_EQ(r.retries, 0u);
    EXPECT_EQ(r.attempts, erase_waits());
    EXPECT_GT(r.attempts, 2u);
    ASSERT_EQ(device.frames.size(), 1 + erase_waits());
    // The wait starts as its first poll goes out; every poll went out within
    // the limit, and the run ended once it was reached.
    uint32_t first = device.frame_ticks[1];
    EXPECT_LT(device.frame_ticks.back() - first, 1000u);
    EXPECT_GE(fake.now - first, 1000u);

    // An erase that ends after 500 ms: programmed, still without retries.
    SetUp();
    device.acknowledges = [](const bytes& f) {
        return !is_erase_wait(f) || fake.now - device.frame_ticks[1] >= 500;
    };
    r = run(2, 1000);
    EXPECT_EQ(r.outcome, run_outcome::programmed);
    EXPECT_EQ(r.retries, 0u);
    EXPECT_GT(erase_waits(), 2u);
    EXPECT_EQ(device.frames.size(), ALL - 1 + erase_waits());
}

TEST_F(run_fixture, progress_follows_every_acknowledged_command)
{
    ASSERT_EQ(run(3).outcome, run_outcome::programmed);
    const sink_progress expected[] = {
        {LPROG_WAIT_ERASE, 0, 0, SIZE, 0},
        {LPROG_PROGRAM, BASE, 0, SIZE, 0},
        {LPROG_PROGRAM, BASE + CHUNK, CHUNK, SIZE, 0},
        {LPROG_PROGRAM, BASE + 2 * CHUNK, 2 * CHUNK, SIZE, 0},
        {LPROG_FIRST_AGAIN, BASE, SIZE, SIZE, 0},
        {LPROG_SET_CLOCK, 0, SIZE, SIZE, 0},
        {LPROG_RESET, 0, SIZE, SIZE, 0},
        {LPROG_IDLE, 0, SIZE, SIZE, 0},
    };
    ASSERT_EQ(ears.reports.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(std::memcmp(&ears.reports[i], &expected[i], sizeof expected[i]), 0)
            << "report " << i << ": phase " << ears.reports[i].phase << ", addr " << ears.reports[i].addr << ", done "
            << ears.reports[i].done << ", retries " << ears.reports[i].retries;
}

// The device holds the erase-wait questions and answers only the third (the
// others superseded), and then the line brings garbage frames 10 ms apart.
// Each may be an answer spoilt on the way, so each keeps the settle for the
// two answers still owed going for the spread (30 ms); but those two would
// have come within the spread once each after the first, so garbage without
// end holds the first chunk back 60 ms at most. The answer is taken 10 ms
// after the question (the silent read behind it), and a silent poll takes
// 20 ms (its read and its drain).
struct garbage_case {
    int frames;            // garbage frames after the answer
    uint32_t chunk_after;  // ms from the third question to the first chunk
};

class erase_wait_garbage : public run_fixture, public testing::WithParamInterface<garbage_case> {};

TEST_P(erase_wait_garbage, keeps_the_settle_going_within_the_owed_answers_bound)
{
    static int garbage;
    garbage = GetParam().frames;
    device.acknowledges = [](const bytes& f) {
        if (!is_erase_wait(f) || erase_waits() != 3)
            return !is_erase_wait(f);
        feed(ack_frame);
        fake.input.push_back(TIMEOUT);
        for (int i = 0; i < garbage; ++i) {
            feed(bytes{0xC0, 0x55, 0x55, 0x55, 0x55, 0x55, 0xC0});
            fake.input.push_back(TIMEOUT);
        }
        return false;
    };
    run(10);
    ASSERT_GE(device.frames.size(), 5u);
    EXPECT_EQ(erase_waits(), 3u);
    EXPECT_EQ(command_of(device.frames[4]).p1, uint32_t{BASE});
    EXPECT_EQ(device.frame_ticks[4] - device.frame_ticks[3], GetParam().chunk_after);
}

INSTANTIATE_TEST_SUITE_P(run, erase_wait_garbage,
                         testing::Values(garbage_case{0, 10 + 30 + 10}, garbage_case{1, 20 + 30 + 10},
                                         garbage_case{100, 10 + 2 * 30}));

class run_cancel : public run_fixture, public testing::WithParamInterface<size_t> {};

TEST_P(run_cancel, stops_after_the_exchange_in_flight_with_its_progress)
{
    const size_t k = GetParam();
    ears.cancel_after = k;
    run_result r = run(3);
    ASSERT_EQ(device.frames.size(), k);
    ASSERT_EQ(ears.reports.size(), k);
    // Asked after the last exchange, the run has already ended well.
    EXPECT_EQ(r.outcome, k < ALL ? run_outcome::interrupted : run_outcome::programmed);
    EXPECT_EQ(r.attempts, 0u);
    sink_progress at = k > 0 ? ears.reports.back() : sink_progress{LPROG_ERASE, BASE, 0, SIZE, 0};
    EXPECT_EQ(r.phase, at.phase);
    EXPECT_EQ(r.addr, at.addr);
    EXPECT_EQ(r.done, at.done);
    EXPECT_EQ(r.total, uint32_t{SIZE});
}

INSTANTIATE_TEST_SUITE_P(run, run_cancel, testing::Values(0, 1, 3, 4, ALL - 1, ALL));

}  // namespace

// The keys go into board logs that later versions read: they never change.
// The texts are what people read, in every output.
TEST(run_outcome_names, every_outcome_has_its_fixed_key_and_text)
{
    const std::tuple<run_outcome, const char*, const char*> expected[] = {
        {run_outcome::programmed, "programmed", "programmed"},
        {run_outcome::unconfirmed, "unconfirmed", "programmed, restart not confirmed"},
        {run_outcome::no_answer, "no_answer", "no answer"},
        {run_outcome::erase_timeout, "erase_timeout", "erase not finished"},
        {run_outcome::disconnected, "disconnected", "device disconnected"},
        {run_outcome::interrupted, "interrupted", "interrupted"},
        {run_outcome::out_of_step, "out_of_step", "link out of step"},
        {run_outcome::no_memory, "no_memory", "not enough memory"},
        {run_outcome::board_left, "board_left", "board left its slot"},
    };
    ASSERT_EQ(std::size(run_outcome_names), std::size(expected));
    for (const auto& [outcome, key, text] : expected) {
        EXPECT_STREQ(run_outcome_key(outcome), key);
        EXPECT_STREQ(run_outcome_text(outcome), text);
    }
    EXPECT_DEATH(run_outcome_key(static_cast<run_outcome>(std::size(expected))), "at < std::size");
}
