// Serial link layer. Two kinds of test:
//  - through the fake port's operations (runs on every platform): exact
//    frame bytes, decoding, size limits, the drain and its bound, write
//    failures, the settings kept and put back;
//  - against a real pseudo-terminal pair (POSIX only): the same frames over
//    a line, the settings read back from the device, silence and the drain
//    on a live line, the exclusive open.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_port.h"
#include "layer.h"
#include "mlb.h"
#include "port.h"
#include "ser.h"
#include "slip.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#endif

namespace {

bytes repeat(uint8_t b, size_t n)
{
    return bytes(n, b);
}

// The normal set as ser_config leaves it, with the 120 ms of this system.
COMMTIMEOUTS normal_set()
{
    COMMTIMEOUTS to{};
    to.ReadIntervalTimeout = MAXDWORD;
    to.ReadTotalTimeoutMultiplier = MAXDWORD;
    to.ReadTotalTimeoutConstant = 120;
    return to;
}

// A layer that stands above ser and records what it is handed.
struct upper_record {
    int calls = 0;
    bytes last;
};

upper_record above;

void record_rx(layer*, mlb* m)
{
    above.calls += 1;
    above.last.assign(mlb_hdr(m), mlb_hdr(m) + mlb_len(m));
}

// A bound ser layer under a recording layer, with a 10000-byte buffer as the
// programming job has.
struct stack {
    layer top{};
    layer bottom{};
    mlb* m = mlb_alloc(SER_FRAME_MAX);

    explicit stack(ser_port* port)
    {
        top.rx = record_rx;
        top.lower = &bottom;
        bottom.upper = &top;
        ser_bind(&bottom, port);
    }
    ~stack() { std::free(m); }
    stack(const stack&) = delete;
    stack& operator=(const stack&) = delete;
};

class SerFake : public ::testing::Test {
protected:
    ser_port port = fake_line();

    void SetUp() override
    {
        fake = fake_port{};
        above = upper_record{};
    }
};

// ---------------------------------------------------------------------------
// Frame encoding.

struct encode_case {
    const char* name;
    bytes message;
    bytes frame;
};

const encode_case encode_cases[] = {
    {"escapes_both", {0x01, 0xC0, 0xDB, 0x02}, {0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}},
    {"ack_packet",
     {0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63},
     {0xC0, 0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63, 0xC0}},
    {"lone_end", {0xC0}, {0xC0, 0xDB, 0xDC, 0xC0}},
    {"lone_esc", {0xDB}, {0xC0, 0xDB, 0xDD, 0xC0}},
    {"escape_codes_plain", {0xDC, 0xDD}, {0xC0, 0xDC, 0xDD, 0xC0}},
    {"escape_pair_as_data", {0xDB, 0xDC}, {0xC0, 0xDB, 0xDD, 0xDC, 0xC0}},
    {"single_byte", {0x00}, {0xC0, 0x00, 0xC0}},
};

std::string case_name(const ::testing::TestParamInfo<encode_case>& info)
{
    return info.param.name;
}

class SerFakeEncode : public SerFake, public ::testing::WithParamInterface<encode_case> {};

TEST_P(SerFakeEncode, WritesTheExactFrame)
{
    const encode_case& c = GetParam();
    int r = ser_send_frame(&port, c.message.data(), static_cast<int32_t>(c.message.size()));
    EXPECT_EQ(r, static_cast<int>(c.frame.size()));
    EXPECT_EQ(fake.output, c.frame);
    EXPECT_EQ(fake.writes, 1);  // built whole, written with one call
}

INSTANTIATE_TEST_SUITE_P(Frames, SerFakeEncode, ::testing::ValuesIn(encode_cases), case_name);

TEST_F(SerFake, EmptyMessageWritesNothingNotEvenEnd)
{
    uint8_t b = 0x41;
    EXPECT_EQ(ser_send_frame(&port, &b, 0), 0);
    EXPECT_EQ(fake.writes, 0);
    EXPECT_TRUE(fake.output.empty());
}

TEST_F(SerFake, PartialWritesAreContinuedUntilTheFrameIsOut)
{
    fake.write_limit = 3;
    bytes msg = {0x01, 0xC0, 0xDB, 0x02};
    EXPECT_EQ(ser_send_frame(&port, msg.data(), 4), 8);
    EXPECT_EQ(fake.output, (bytes{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}));
    EXPECT_EQ(fake.writes, 3);
}

TEST_F(SerFake, WriteTakingNothingEndsTheFrameWithFailure)
{
    fake.writes_before_failure = 0;
    bytes msg = {0x01, 0x02, 0x03};
    EXPECT_EQ(ser_send_frame(&port, msg.data(), 3), -1);
    EXPECT_EQ(fake.writes, 1);  // no second attempt, no endless loop
}

TEST_F(SerFake, WriteStoppingHalfwayEndsTheFrameWithFailure)
{
    fake.write_limit = 2;
    fake.writes_before_failure = 2;
    bytes msg = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    EXPECT_EQ(ser_send_frame(&port, msg.data(), 6), -1);
    EXPECT_EQ(fake.writes, 3);
    EXPECT_EQ(fake.output, (bytes{0xC0, 0x01, 0x02, 0x03}));
}

// ---------------------------------------------------------------------------
// Size limits: the frame buffer holds 10000 bytes.

struct size_case {
    const char* name;
    uint8_t fill;
    int32_t count;
    bool sent;
};

const size_case size_cases[] = {
    {"ends_4999_fit_exactly", 0xC0, 4999, true},
    {"ends_5000_refused", 0xC0, 5000, false},
    {"escs_4999_fit_exactly", 0xDB, 4999, true},
    {"escs_5000_refused", 0xDB, 5000, false},
    {"plain_9998_fit_exactly", 0x55, 9998, true},
    {"plain_9999_refused", 0x55, 9999, false},
    {"plain_10000_refused", 0x55, 10000, false},
    {"plain_10001_refused", 0x55, 10001, false},
    {"plain_20000_refused", 0x55, 20000, false},
};

std::string size_name(const ::testing::TestParamInfo<size_case>& info)
{
    return info.param.name;
}

class SerFakeSize : public SerFake, public ::testing::WithParamInterface<size_case> {};

TEST_P(SerFakeSize, SendsWhatFitsAndRefusesTheRestWithoutWriting)
{
    const size_case& c = GetParam();
    bytes msg = repeat(c.fill, static_cast<size_t>(c.count));
    int r = ser_send_frame(&port, msg.data(), c.count);
    if (c.sent) {
        EXPECT_EQ(r, 10000);
        EXPECT_EQ(fake.output, slip_encode(msg));
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(fake.writes, 0);
        EXPECT_TRUE(fake.output.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, SerFakeSize, ::testing::ValuesIn(size_cases), size_name);

// ---------------------------------------------------------------------------
// Frame decoding.

struct decode_case {
    const char* name;
    std::vector<int> line;  // bytes on the line; TIMEOUT for a read that times out
    int result;             // ser_recv_frame's result
    bytes frame;            // the decoded bytes when result > 0
};

const decode_case decode_cases[] = {
    {"leading_ends_skipped", {0xC0, 0xC0, 0xC0, 0x41, 0xC0}, 1, {0x41}},
    {"escaped_end_is_not_a_delimiter", {0xC0, 0x41, 0xDB, 0xC0, 0x42, 0xC0}, 3, {0x41, 0xC0, 0x42}},
    {"other_byte_after_esc_is_data", {0xC0, 0x41, 0xDB, 0x42, 0xC0}, 2, {0x41, 0x42}},
    {"both_escapes", {0xC0, 0x41, 0xDB, 0xDC, 0x42, 0xDB, 0xDD, 0xC0}, 4, {0x41, 0xC0, 0x42, 0xDB}},
    {"no_leading_end", {0x41, 0x42, 0xC0}, 2, {0x41, 0x42}},
    {"timeout_after_esc_stores_ff", {0xC0, 0x41, 0xDB, TIMEOUT, 0x42, 0xC0}, 3, {0x41, 0xFF, 0x42}},
    {"silence", {}, 0, {}},
    {"only_ends_then_silence", {0xC0, 0xC0}, 0, {}},
    {"truncated_frame", {0xC0, 0x41, 0x42}, 0, {}},
    {"gap_inside_frame_abandons_it", {0xC0, 0x41, TIMEOUT, 0x42, 0xC0}, 0, {}},
    {"truncated_after_esc", {0xC0, 0x41, 0xDB}, 0, {}},
};

std::string decode_name(const ::testing::TestParamInfo<decode_case>& info)
{
    return info.param.name;
}

class SerFakeDecode : public SerFake, public ::testing::WithParamInterface<decode_case> {};

TEST_P(SerFakeDecode, DecodesOneFrame)
{
    const decode_case& c = GetParam();
    for (int x : c.line)
        fake.input.push_back(x);
    bytes dst(SER_FRAME_MAX, 0xEE);
    int r = ser_recv_frame(&port, dst.data(), SER_FRAME_MAX);
    ASSERT_EQ(r, c.result);
    EXPECT_EQ(bytes(dst.begin(), dst.begin() + r), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Frames, SerFakeDecode, ::testing::ValuesIn(decode_cases), decode_name);

TEST_F(SerFake, ReadsOneByteAtATimeAndLeavesTheRestOnTheLine)
{
    feed({0xC0, 0x41, 0xC0, 0x42, 0xC0});
    uint8_t dst[8];
    EXPECT_EQ(ser_recv_frame(&port, dst, 8), 1);
    EXPECT_EQ(fake.reads, 3);
    EXPECT_EQ(fake.input.size(), 2u);
}

TEST_F(SerFake, FrameReachingMaxIsAbandoned)
{
    feed({0xC0, 0x41, 0x42, 0xC0});
    uint8_t dst[3];
    EXPECT_EQ(ser_recv_frame(&port, dst, 3), 2);  // max - 1 bytes is the most delivered
    fake.input.clear();
    feed({0xC0, 0x41, 0x42, 0x43, 0xC0});
    EXPECT_EQ(ser_recv_frame(&port, dst, 3), 0);  // the third byte fills it
    EXPECT_EQ(fake.input.size(), 1u);  // the closing END stays on the line
}

TEST_F(SerFake, EndFloodEndsTheReadAfterTwiceMaxBytes)
{
    // A frame of max - 1 bytes takes at most 2 * max bytes on the line, so a
    // read that has taken that many without a frame gives up.
    constexpr int32_t max = 64;
    feed(bytes(10 * max, 0xC0));
    uint8_t dst[max];
    EXPECT_EQ(ser_recv_frame(&port, dst, max), 0);
    EXPECT_EQ(fake.reads, 2 * max + 1);
    fake.input.clear();
    feed({0xC0, 0xC0, 0x41, 0xC0});  // the flood is over: the next frame comes through
    EXPECT_EQ(ser_recv_frame(&port, dst, max), 1);
    EXPECT_EQ(dst[0], 0x41);
}

TEST_F(SerFake, FrameOfMaxMinusOneEscapedBytesIsStillReceived)
{
    constexpr int32_t max = 64;
    bytes wire = slip_encode(repeat(0xC0, max - 1));
    ASSERT_EQ(wire.size(), size_t{2 * max});
    feed(wire);
    uint8_t dst[max];
    EXPECT_EQ(ser_recv_frame(&port, dst, max), max - 1);
    EXPECT_EQ(dst[max - 2], 0xC0);
}

TEST_F(SerFake, DeviceFloodingEndsThenAnsweringIsHeardAtTheNextReceive)
{
    stack s(&port);
    feed(bytes(3 * SER_FRAME_MAX, 0xC0));
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
    fake.input.clear();
    feed({0xC0, 0x41, 0x43, 0x4B, 0x00, 0xC0});
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 2);
    EXPECT_EQ(above.last, (bytes{0x41, 0x43, 0x4B, 0x00}));
}

TEST_F(SerFake, GetcGivesByteOrMinusOne)
{
    feed({0xFF, 0x00});
    EXPECT_EQ(ser_getc(&port), 0xFF);
    EXPECT_EQ(ser_getc(&port), 0x00);
    EXPECT_EQ(ser_getc(&port), -1);
}

// ---------------------------------------------------------------------------
// ser_rx: the whole receive with the drain.

TEST_F(SerFake, LargestFrameIsReceivedWhole)
{
    bytes data(9999);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    feed(slip_encode(data));
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_EQ(above.last, data);
}

TEST_F(SerFake, FrameOfTenThousandBytesGivesEmptyMessage)
{
    feed(slip_encode(repeat(0x55, 10000)));
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
    EXPECT_TRUE(fake.input.empty());  // the drain took the closing END
}

TEST_F(SerFake, SilenceStillCallsTheLayerAboveWithEmptyMessage)
{
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
}

TEST_F(SerFake, BytesAfterTheFrameAreDrainedUnderTheDrainSet)
{
    fake.timeouts = normal_set();
    feed({0xC0, 0x41, 0xC0, 0xC0, 0x77, 0xC0, 0x13});
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.last, bytes{0x41});
    EXPECT_TRUE(fake.input.empty());
    // Three one-byte reads for the frame under the normal set, then drain
    // reads under the drain set until one comes back empty.
    ASSERT_EQ(fake.read_timeouts.size(), 5u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(fake.read_timeouts[i].ReadTotalTimeoutConstant, 120u);
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(fake.read_timeouts[i].ReadIntervalTimeout, 10u);
        EXPECT_EQ(fake.read_timeouts[i].ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(fake.read_timeouts[i].ReadTotalTimeoutConstant, 10u);
    }
    // The time-outs of before the drain are back.
    COMMTIMEOUTS normal = normal_set();
    EXPECT_EQ(std::memcmp(&fake.timeouts, &normal, sizeof normal), 0);

    // The next receive sees only what comes next.
    feed({0xC0, 0x42, 0xC0});
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.last, bytes{0x42});
}

TEST_F(SerFake, DrainKeepsWriteTimeouts)
{
    fake.timeouts = normal_set();
    fake.timeouts.WriteTotalTimeoutConstant = 77;
    fake.timeouts.WriteTotalTimeoutMultiplier = 3;
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    ASSERT_FALSE(fake.read_timeouts.empty());
    const COMMTIMEOUTS& d = fake.read_timeouts.back();
    EXPECT_EQ(d.WriteTotalTimeoutConstant, 77u);
    EXPECT_EQ(d.WriteTotalTimeoutMultiplier, 3u);
}

TEST_F(SerFake, DrainStopsAfterOneSecondOfEndlessInput)
{
    fake.endless_input = true;
    fake.tick_step = 100;  // every tick reading is 100 ms later
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    // ser_recv_frame: 10000 bytes of 0x55 without END, abandoned.
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
    // Drain: the start is stamped at t, each read is followed by one tick
    // reading, t+100 .. t+1000: ten reads.
    EXPECT_EQ(fake.reads - SER_FRAME_MAX, 10);
}

TEST_F(SerFake, DrainStopsAfter64KiBOfEndlessInput)
{
    fake.endless_input = true;
    fake.tick_step = 1;
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_EQ(fake.reads - SER_FRAME_MAX, 65536 / 4096);
}

TEST_F(SerFake, DrainBoundHoldsAcrossTickWrap)
{
    fake.endless_input = true;
    fake.now = 0xFFFFFF00u;
    fake.tick_step = 100;
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(fake.reads - SER_FRAME_MAX, 10);
}

TEST_F(SerFake, UnreadableTimeoutsSkipTheDrain)
{
    fake.timeouts_ok = 0;
    feed({0xC0, 0x41, 0xC0, 0x99});
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.last, bytes{0x41});
    EXPECT_EQ(fake.set_timeouts_calls, 0);
    EXPECT_EQ(fake.input.size(), 1u);
}

TEST_F(SerFake, TransmitWritesTheWholeMessageFromItsHeader)
{
    stack s(&port);
    mlb_reset(s.m, 0, 12);
    std::memcpy(mlb_push_tlr(s.m, 3), "\x01\xC0\x02", 3);
    mlb_push_hdr(s.m, 1)[0] = 0xDB;
    ser_tx(&s.bottom, s.m);
    EXPECT_EQ(fake.output, (bytes{0xC0, 0xDB, 0xDD, 0x01, 0xDB, 0xDC, 0x02, 0xC0}));
}

TEST_F(SerFake, BindInstallsHandlersAndThePortOnly)
{
    layer l{};
    layer other{};
    l.upper = &other;
    ser_bind(&l, &port);
    EXPECT_EQ(l.tx, ser_tx);
    EXPECT_EQ(l.rx, ser_rx);
    EXPECT_EQ(l.p_, &port);
    EXPECT_EQ(l.upper, &other);
    EXPECT_EQ(l.lower, nullptr);
}

TEST_F(SerFake, MissingReceiveHandlerAboveIsAnAssertion)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    stack s(&port);
    s.top.rx = nullptr;
    EXPECT_DEATH(ser_rx(&s.bottom, s.m), "t->upper->rx");
}

// ---------------------------------------------------------------------------
// Port settings through the fake.

// A line as far from the protocol's as the fields allow.
DCB far_from_protocol()
{
    DCB d{};
    d.BaudRate = 9600;
    d.fBinary = 0;
    d.fParity = 1;
    d.fOutxCtsFlow = 1;
    d.fOutxDsrFlow = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fDsrSensitivity = 1;
    d.fTXContinueOnXoff = 0;
    d.fOutX = 1;
    d.fInX = 1;
    d.fErrorChar = 1;
    d.fNull = 1;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fAbortOnError = 1;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
#ifdef _WIN32
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.EofChar = 0x1A;
    d.XonLim = 2048;
#endif
    return d;
}

TEST_F(SerFake, ConfigSetsEveryLineFieldAndTheNormalSet)
{
    fake.dcb = far_from_protocol();
    fake.timeouts = {1, 2, 3, 4, 5};
    ASSERT_EQ(ser_config(&port, 115200, 120000), 0);
    const DCB& d = fake.dcb;
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(d.fDsrSensitivity, 0u);
    EXPECT_EQ(d.fTXContinueOnXoff, 1u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    EXPECT_EQ(d.fErrorChar, 0u);
    EXPECT_EQ(d.fNull, 0u);
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(d.fAbortOnError, 0u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
#ifdef _WIN32
    // Fields the layer does not own keep what was read.
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.XonLim, 2048);
#endif
    EXPECT_EQ(fake.timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(fake.timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(fake.timeouts.ReadTotalTimeoutConstant, 120u);
    EXPECT_EQ(fake.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(fake.timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(fake.last_handle, &fake);
}

TEST_F(SerFake, ConfigReadConstantIsWholeMilliseconds)
{
    ASSERT_EQ(ser_config(&port, 115200, 120999), 0);
    EXPECT_EQ(fake.timeouts.ReadTotalTimeoutConstant, 120u);
    ASSERT_EQ(ser_config(&port, 115200, 999), 0);
    EXPECT_EQ(fake.timeouts.ReadTotalTimeoutConstant, 0u);
}

struct unreadable_case {
    const char* name;
    int state_ok;
    int timeouts_ok;
};

class SerFakeUnreadable : public SerFake, public ::testing::WithParamInterface<unreadable_case> {};

// Nothing is kept, so the teardown puts nothing back: it only closes.
TEST_P(SerFakeUnreadable, ConfigFailsWithoutChangesAndNothingIsPutBack)
{
    fake.state_ok = GetParam().state_ok;
    fake.timeouts_ok = GetParam().timeouts_ok;
    EXPECT_EQ(ser_config(&port, 115200, 120000), -1);
    EXPECT_EQ(port.saved, 0);
    ser_close(&port);
    EXPECT_EQ(fake.set_state_calls, 0);
    EXPECT_EQ(fake.set_timeouts_calls, 0);
    EXPECT_EQ(fake.closed, 1);
}

INSTANTIATE_TEST_SUITE_P(Settings, SerFakeUnreadable,
                         ::testing::Values(unreadable_case{"line", 0, 1}, unreadable_case{"timeouts", 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerFake, ClosePutsBackTheSettingsOfBeforeTheFirstConfigThenCloses)
{
    fake.dcb.BaudRate = 9600;
    fake.dcb.ByteSize = 7;
    fake.timeouts = {5, 6, 7, 8, 9};
    ASSERT_EQ(ser_config(&port, 115200, 120000), 0);
    ASSERT_EQ(ser_config(&port, 57600, 50000), 0);  // configured again: the first settings stay kept
    EXPECT_EQ(fake.dcb.BaudRate, 57600u);
    EXPECT_EQ(fake.closed, 0);

    ser_close(&port);
    EXPECT_EQ(fake.dcb.BaudRate, 9600u);
    EXPECT_EQ(fake.dcb.ByteSize, 7);
    COMMTIMEOUTS expected = {5, 6, 7, 8, 9};
    EXPECT_EQ(std::memcmp(&fake.timeouts, &expected, sizeof expected), 0);
    EXPECT_EQ(fake.closed, 1);
    EXPECT_EQ(port.handle, nullptr);
    EXPECT_EQ(port.saved, 0);

    int writes = fake.set_state_calls;
    ser_close(&port);  // holds no port now: nothing
    EXPECT_EQ(fake.closed, 1);
    EXPECT_EQ(fake.set_state_calls, writes);
}

// ---------------------------------------------------------------------------
// The platform's own operations.

TEST(SerPlatform, TickAdvancesInMilliseconds)
{
    const port_ops& ops = port_platform();
    uint32_t a = ops.tick();
    auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(60)) {
    }
    uint32_t d = ops.tick() - a;
    EXPECT_GE(d, 40u);
    EXPECT_LE(d, 2000u);
}

TEST(SerPlatform, OpeningAMissingPortGivesNull)
{
#ifdef _WIN32
    EXPECT_EQ(port_platform().open("com250"), nullptr);
#else
    EXPECT_EQ(port_platform().open("/dev/zel-no-such-port"), nullptr);
    EXPECT_EQ(errno, ENOENT);
#endif
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// Against a real pseudo-terminal. The test plays the device on the master
// side; the layer opens the slave side by its /dev path.

struct pty_pair {
    int master = -1;
    int slave = -1;  // held so the line stays up and keeps its settings
    std::string name;

    pty_pair()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        name = ptsname(master);
        slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    ~pty_pair()
    {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    bool ok() const { return master >= 0 && slave >= 0; }

    void device_send(const bytes& b)
    {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t k = ::write(master, b.data() + done, b.size() - done);
            if (k <= 0)
                break;
            done += static_cast<size_t>(k);
        }
    }

    // Whether bytes sent to the port have reached it, waiting up to
    // `deadline_ms`: the port's side of the line shows them to every
    // descriptor, and looking takes nothing.
    bool arrived(int deadline_ms = 5000)
    {
        pollfd p{slave, POLLIN, 0};
        return poll(&p, 1, deadline_ms) == 1;
    }

    // What the port wrote: reads until want bytes are in or quiet_ms pass
    // without a byte.
    bytes device_take(size_t want, int quiet_ms = 200)
    {
        bytes got;
        uint8_t buf[4096];
        while (got.size() < want) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, quiet_ms) <= 0)
                break;
            ssize_t k = ::read(master, buf, sizeof buf);
            if (k <= 0)
                break;
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }
};

double ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Reads that came back empty on the port, so that the device side of a test
// sends what follows a pause only once the port's read has timed out in it.
struct silence_count {
    std::mutex lock;
    std::condition_variable changed;
    int reads = 0;
};

silence_count silences;

uint32_t noting_read(port_handle h, void* dst, uint32_t n)
{
    uint32_t k = port_platform().read(h, dst, n);
    if (k == 0) {
        {
            std::lock_guard<std::mutex> hold(silences.lock);
            silences.reads += 1;
        }
        silences.changed.notify_all();
    }
    return k;
}

// Waits (a generous deadline) until the port has timed out `n` times in all.
bool wait_for_silences(int n)
{
    std::unique_lock<std::mutex> hold(silences.lock);
    return silences.changed.wait_for(hold, std::chrono::seconds(10), [n] { return silences.reads >= n; });
}

// The platform's operations, with the empty reads counted.
const port_ops pty_ops = [] {
    port_ops o = port_platform();
    o.read = noting_read;
    return o;
}();

class SerPty : public ::testing::Test {
protected:
    pty_pair line;
    const port_ops& ops = pty_ops;
    ser_port port{&pty_ops, nullptr, 0, {}, {}};
    port_handle h = nullptr;

    void SetUp() override
    {
        above = upper_record{};
        {
            std::lock_guard<std::mutex> hold(silences.lock);
            silences.reads = 0;
        }
        ASSERT_TRUE(line.ok());
        h = ops.open(line.name.c_str());
        ASSERT_NE(h, nullptr) << line.name << ": " << std::strerror(errno);
        port.handle = h;
        ASSERT_EQ(ser_config(&port, 115200, 120000), 0);
    }
    void TearDown() override { ser_close(&port); }
};

class SerPtyEncode : public SerPty, public ::testing::WithParamInterface<encode_case> {};

TEST_P(SerPtyEncode, DeviceReceivesTheExactFrame)
{
    const encode_case& c = GetParam();
    int r = ser_send_frame(&port, c.message.data(), static_cast<int32_t>(c.message.size()));
    EXPECT_EQ(r, static_cast<int>(c.frame.size()));
    EXPECT_EQ(line.device_take(c.frame.size() + 1, 100), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Frames, SerPtyEncode, ::testing::ValuesIn(encode_cases), case_name);

class SerPtySize : public SerPty, public ::testing::WithParamInterface<size_case> {};

TEST_P(SerPtySize, DeviceGetsWhatFitsAndNothingOfARefusal)
{
    const size_case& c = GetParam();
    bytes msg = repeat(c.fill, static_cast<size_t>(c.count));
    int r = ser_send_frame(&port, msg.data(), c.count);
    if (c.sent) {
        EXPECT_EQ(r, 10000);
        EXPECT_EQ(line.device_take(10001, 100), slip_encode(msg));
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(line.device_take(1, 100).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, SerPtySize, ::testing::ValuesIn(size_cases), size_name);

class SerPtyDecode : public SerPty, public ::testing::WithParamInterface<decode_case> {};

// A TIMEOUT entry becomes a real pause on the line: what follows it is sent
// once the port's read has timed out there, and not before.
TEST_P(SerPtyDecode, DecodesOneFrameFromTheLine)
{
    const decode_case& c = GetParam();
    std::vector<bytes> parts(1);
    for (int x : c.line) {
        if (x == TIMEOUT)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<uint8_t>(x));
    }
    std::thread device([&] {
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i > 0 && !wait_for_silences(static_cast<int>(i)))
                return;
            line.device_send(parts[i]);
        }
    });
    bytes dst(SER_FRAME_MAX, 0xEE);
    int r = ser_recv_frame(&port, dst.data(), SER_FRAME_MAX);
    device.join();
    ASSERT_EQ(r, c.result);
    EXPECT_EQ(bytes(dst.begin(), dst.begin() + r), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Frames, SerPtyDecode, ::testing::ValuesIn(decode_cases), decode_name);

TEST_F(SerPty, LargestFrameIsReceivedWhole)
{
    bytes data(9999);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    line.device_send(slip_encode(data));
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_EQ(above.last, data);
}

TEST_F(SerPty, FrameOfTenThousandBytesGivesEmptyMessage)
{
    line.device_send(slip_encode(repeat(0x55, 10000)));
    stack s(&port);
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
    line.device_send({0xC0, 0x42, 0xC0});
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.last, bytes{0x42});
}

// On a silent line a frame read ends after the 120 ms read time-out, and
// ser_rx adds only the drain's 10 ms to that. The bounds leave room for a
// loaded machine and still catch a time-out ten times too short or too long.
TEST_F(SerPty, SilenceGivesEmptyMessageAfterTheReadTimeout)
{
    stack s(&port);
    bytes dst(16);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ser_recv_frame(&port, dst.data(), 16), 0);
    double recv_ms = ms_since(t0);
    EXPECT_GE(recv_ms, 100.0);
    EXPECT_LE(recv_ms, 400.0);
    t0 = std::chrono::steady_clock::now();
    ser_rx(&s.bottom, s.m);
    double rx_ms = ms_since(t0);
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
    EXPECT_GE(rx_ms, 100.0);
    EXPECT_LE(rx_ms, 450.0);
}

TEST_F(SerPty, BytesAfterTheFrameAreDrainedAndNotSeenNext)
{
    stack s(&port);
    // A frame, then a whole second frame and some noise right behind it.
    // The frame is read at once, and the drain's reads take the rest under
    // its 10 ms time-outs: its last read waits out 10 ms of quiet, and the
    // whole stays well under the 120 ms of the normal set.
    line.device_send({0xC0, 0x41, 0xC0, 0xC0, 0x77, 0xC0, 0x01, 0x02, 0xDB});
    ASSERT_TRUE(line.arrived());
    auto t0 = std::chrono::steady_clock::now();
    ser_rx(&s.bottom, s.m);
    double rx_ms = ms_since(t0);
    EXPECT_EQ(above.last, bytes{0x41});
    EXPECT_GE(rx_ms, 5.0);
    EXPECT_LT(rx_ms, 80.0);

    line.device_send({0xC0, 0x42, 0xC0});
    ser_rx(&s.bottom, s.m);
    EXPECT_EQ(above.calls, 2);
    EXPECT_EQ(above.last, bytes{0x42});

    // The normal set is back after the drain.
    COMMTIMEOUTS to{};
    ASSERT_TRUE(ops.get_timeouts(h, &to));
    COMMTIMEOUTS normal = normal_set();
    EXPECT_EQ(std::memcmp(&to, &normal, sizeof to), 0);
}

TEST_F(SerPty, SettingsReadBackFromThePort)
{
    DCB d{};
    ASSERT_TRUE(ops.get_state(h, &d));
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    EXPECT_EQ(d.fParity, 0u);
    COMMTIMEOUTS to{};
    ASSERT_TRUE(ops.get_timeouts(h, &to));
    COMMTIMEOUTS normal = normal_set();
    EXPECT_EQ(std::memcmp(&to, &normal, sizeof to), 0);

    // The device itself holds the settings: seen through another descriptor.
    termios tio{};
    ASSERT_EQ(tcgetattr(line.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

// A pty keeps the speed, the stop bits and the input flags it is given (it
// holds its data bits at 8 and parity off), so those carry the check.
TEST_F(SerPty, ClosePutsTheDeviceBack)
{
    pty_pair other;
    ASSERT_TRUE(other.ok());
    termios tio{};
    ASSERT_EQ(tcgetattr(other.slave, &tio), 0);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CSTOPB;
    tio.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(other.slave, TCSANOW, &tio), 0);
    ser_port o{&ops, ops.open(other.name.c_str()), 0, {}, {}};
    ASSERT_NE(o.handle, nullptr);

    ASSERT_EQ(ser_config(&o, 115200, 120000), 0);
    ASSERT_EQ(tcgetattr(other.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    ser_close(&o);
    EXPECT_EQ(o.handle, nullptr);
    ASSERT_EQ(tcgetattr(other.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
}

TEST_F(SerPty, PortHeldOpenCannotBeOpenedAgain)
{
    errno = 0;
    EXPECT_EQ(ops.open(line.name.c_str()), nullptr);
    EXPECT_TRUE(errno == EWOULDBLOCK || errno == EAGAIN || errno == EBUSY) << std::strerror(errno);
}

// Drain read on its own: 10 ms of total wait when the line is quiet (bounds
// that hold on a loaded machine and catch a tenfold error either way), and a
// gap of more than 10 ms between bytes ends it.
TEST_F(SerPty, DrainSetReadReturnsWhatArrived)
{
    COMMTIMEOUTS to = normal_set();
    to.ReadIntervalTimeout = 10;
    to.ReadTotalTimeoutMultiplier = 0;
    to.ReadTotalTimeoutConstant = 10;
    ASSERT_TRUE(ops.set_timeouts(h, &to));
    uint8_t buf[4096];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ops.read(h, buf, sizeof buf), 0u);
    double quiet_ms = ms_since(t0);
    EXPECT_GE(quiet_ms, 5.0);
    EXPECT_LT(quiet_ms, 80.0);
    line.device_send({1, 2, 3, 4, 5});
    ASSERT_TRUE(line.arrived());
    EXPECT_EQ(ops.read(h, buf, sizeof buf), 5u);
    EXPECT_EQ(ops.read(h, buf, 3), 0u);
}

// With bytes waiting, a read asking for more returns them without waiting
// out the constant (set long here, so that waiting could not pass).
TEST_F(SerPty, NormalSetReturnsAtOnceWithWhatIsThere)
{
    ASSERT_EQ(ser_config(&port, 115200, 5000000), 0);
    line.device_send({1, 2, 3});
    ASSERT_TRUE(line.arrived());
    uint8_t buf[16];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ops.read(h, buf, sizeof buf), 3u);
    EXPECT_LT(ms_since(t0), 2500.0);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[2], 3);
}
#endif

}  // namespace
