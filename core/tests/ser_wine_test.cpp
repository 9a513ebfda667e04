// The serial link layer over a real COM port, as a Windows program: run under
// wine by tests/ser_wine.sh, whose device end sits on the other side of a
// pseudo-terminal mapped to the port. The device answers each frame by the
// first byte of its message (see tests/ser_wine_device.py):
//   'E' the raw line bytes of the frame it got, as the message of a frame
//   'A' C0 41 DB C0 42 C0, then a whole frame "JUNK" and two stray bytes
//   'B' C0 C0 C0 41 C0          'C' C0 41 DB 42 C0
//   'L' a frame of 9999 bytes   'M' a frame of 10000 bytes, then "JUNK"
//   'S' nothing                 'Z' a frame "OK"
//   other: length and CRC-32 of the raw frame, both little-endian
// Usage: ser_wine_test.exe PORT [gtest flags]; PORT may also come from the
// environment variable ZEL_WINE_PORT.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "layer.h"
#include "lpkt.h"
#include "mlb.h"
#include "port.h"
#include "ser.h"
#include "slip.h"

namespace {

using bytes = std::vector<uint8_t>;

const char* port_name = nullptr;
DCB original_dcb{};                // as found right after the open

// Bytes the platform read handed over, counted through the seam.
uint32_t bytes_read = 0;

uint32_t counting_read(port_handle p, void* dst, uint32_t n)
{
    uint32_t k = port_platform().read(p, dst, n);
    bytes_read += k;
    return k;
}

// The platform's operations, with the bytes read counted.
const port_ops wine_ops = [] {
    port_ops o = port_platform();
    o.read = counting_read;
    return o;
}();

ser_port line{&wine_ops, nullptr, 0, {}, {}};
port_handle h = nullptr;  // line's handle, opened once for every test

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

struct stack {
    layer top{};
    layer bottom{};
    mlb* m = mlb_alloc(SER_FRAME_MAX);

    stack()
    {
        top.rx = record_rx;
        top.lower = &bottom;
        bottom.upper = &top;
        ser_bind(&bottom, &line);
    }
    ~stack() { std::free(m); }
    stack(const stack&) = delete;
    stack& operator=(const stack&) = delete;

    // Sends a request and receives the answer. A receive that read nothing at
    // all (the device not yet awake) is tried again, a few times.
    bytes exchange(const bytes& request)
    {
        EXPECT_GT(ser_send_frame(&line, request.data(), static_cast<int32_t>(request.size())), 0);
        for (int i = 0; i < 10; ++i) {
            bytes_read = 0;
            ser_rx(&bottom, m);
            if (bytes_read > 0)
                break;
        }
        return above.last;
    }
};

bytes text(const char* s)
{
    return bytes(s, s + std::strlen(s));
}

class SerWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(h, nullptr) << "port " << port_name << " did not open";
        above = upper_record{};
        ASSERT_EQ(ser_config(&line, 115200, 120000), 0);
    }
};

TEST_F(SerWine, SettingsReadBackFromThePort)
{
    DCB d{};
    ASSERT_TRUE(wine_ops.get_state(h, &d));
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    COMMTIMEOUTS to{};
    ASSERT_TRUE(wine_ops.get_timeouts(h, &to));
    EXPECT_EQ(to.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(to.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 120u);
    EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.WriteTotalTimeoutConstant, 0u);
}

TEST_F(SerWine, DeviceReceivesTheExactFrame)
{
    stack s;
    EXPECT_EQ(s.exchange({'E', 0x01, 0xC0, 0xDB, 0x02}),
              (bytes{0xC0, 'E', 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}));
}

TEST_F(SerWine, ReceiveExamplesAndTheDrain)
{
    stack s;
    EXPECT_EQ(s.exchange({'A'}), (bytes{0x41, 0xC0, 0x42}));
    // "JUNK" and the stray bytes behind it were drained: the next answer is B's.
    EXPECT_EQ(s.exchange({'B'}), (bytes{0x41}));
    EXPECT_EQ(s.exchange({'C'}), (bytes{0x41, 0x42}));
    EXPECT_EQ(above.calls, 3);
}

TEST_F(SerWine, SilenceGivesEmptyMessage)
{
    stack s;
    bytes req = {'S'};
    ASSERT_GT(ser_send_frame(&line, req.data(), 1), 0);
    bytes_read = 0;
    auto t0 = std::chrono::steady_clock::now();
    ser_rx(&s.bottom, s.m);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(above.calls, 1);
    EXPECT_TRUE(above.last.empty());
    EXPECT_EQ(bytes_read, 0u);
    // The 120 ms read time-out and the drain's 10 ms, with room for a loaded
    // machine; a time-out ten times too short or too long falls outside.
    EXPECT_GE(ms, 100.0);
    EXPECT_LE(ms, 450.0);
}

TEST_F(SerWine, LargestFrameIsReceivedWhole)
{
    stack s;
    bytes expected(9999);
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(s.exchange({'L'}), expected);
}

TEST_F(SerWine, TooLongFrameGivesEmptyMessageAndIsDrained)
{
    stack s;
    EXPECT_TRUE(s.exchange({'M'}).empty());
    EXPECT_GE(bytes_read, 10000u);  // the frame did arrive, and was abandoned
    EXPECT_EQ(s.exchange({'Z'}), text("OK"));
}

struct size_case {
    uint8_t fill;
    int32_t count;
    bool sent;
};

TEST_F(SerWine, SizeLimits)
{
    const size_case cases[] = {
        {0xC0, 4999, true}, {0xC0, 5000, false}, {0x55, 9998, true}, {0x55, 9999, false}, {0x55, 10001, false},
    };
    stack s;
    for (const size_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << int{c.fill});
        bytes msg(static_cast<size_t>(c.count), c.fill);
        int r = ser_send_frame(&line, msg.data(), c.count);
        if (!c.sent) {
            EXPECT_EQ(r, -1);
            // Had any of it gone out, the device's answer to it would come first.
            EXPECT_EQ(s.exchange({'Z'}), text("OK"));
            continue;
        }
        ASSERT_EQ(r, 10000);
        bytes_read = 0;
        for (int i = 0; i < 10 && bytes_read == 0; ++i)
            ser_rx(&s.bottom, s.m);
        bytes frame = slip_encode(msg);
        ASSERT_EQ(above.last.size(), 8u);
        EXPECT_EQ(get_le32(above.last.data()), 10000u);
        EXPECT_EQ(get_le32(above.last.data() + 4), crc32_calc(frame.data(), static_cast<int32_t>(frame.size())));
    }
}

bool under_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Windows opens a COM port for one handle at a time; wine (8.0) does not
// enforce that for a serial device, so there the check is skipped.
TEST_F(SerWine, PortHeldOpenCannotBeOpenedAgain)
{
    if (under_wine())
        GTEST_SKIP() << "wine lets a second handle open a serial device";
    SetLastError(0);
    EXPECT_EQ(wine_ops.open(port_name), nullptr);
    std::printf("second open of %s: error %lu\n", port_name, static_cast<unsigned long>(GetLastError()));
}

// The driver leaves the line at 9600 baud before the program starts; the
// first ser_config of the run kept that, and ser_close puts it back as it
// closes the port, so that the port opened afresh finds it so. Last, since
// it closes the port the other tests share.
TEST_F(SerWine, ClosePutsBackTheFirstSettings)
{
    DCB now{};
    ASSERT_TRUE(wine_ops.get_state(h, &now));
    EXPECT_EQ(now.BaudRate, 115200u);
    ser_close(&line);
    EXPECT_EQ(line.handle, nullptr);
    h = wine_ops.open(port_name);
    line.handle = h;
    ASSERT_NE(h, nullptr);
    DCB d{};
    ASSERT_TRUE(wine_ops.get_state(h, &d));
    EXPECT_EQ(d.BaudRate, original_dcb.BaudRate);
    EXPECT_EQ(d.BaudRate, 9600u);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    port_name = argc > 1 ? argv[1] : std::getenv("ZEL_WINE_PORT");
    if (port_name == nullptr) {
        std::fprintf(stderr, "usage: ser_wine_test PORT (or ZEL_WINE_PORT=PORT)\n");
        return 2;
    }
    h = wine_ops.open(port_name);
    line.handle = h;
    if (h == nullptr) {
        std::fprintf(stderr, "%s: open failed, error %lu\n", port_name, static_cast<unsigned long>(GetLastError()));
    } else {
        wine_ops.get_state(h, &original_dcb);
    }
    return RUN_ALL_TESTS();
}
