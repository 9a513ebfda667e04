// The POSIX seam's translation of line settings to termios and back.
#include "port_posix.h"

#include <gtest/gtest.h>

namespace {

struct line {
    BYTE byte_size;
    BYTE parity;
    BYTE stop_bits;
    DWORD cts;
    DWORD xon_out;
    DWORD xon_in;
    DWORD check_parity;
    tcflag_t cflag;  // the bits among CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS
    tcflag_t iflag;  // the bits among INPCK | IXON | IXOFF
};

constexpr line lines[] = {
    {8, NOPARITY, ONESTOPBIT, 0, 0, 0, 0, CS8, 0},
    {7, EVENPARITY, ONESTOPBIT, 0, 0, 0, 1, CS7 | PARENB, INPCK},
    {7, ODDPARITY, TWOSTOPBITS, 0, 0, 0, 0, CS7 | PARENB | PARODD | CSTOPB, 0},
    {6, NOPARITY, ONESTOPBIT, 1, 0, 0, 0, CS6 | CRTSCTS, 0},
    {5, NOPARITY, ONESTOPBIT, 0, 1, 0, 0, CS5, IXON},
    {8, NOPARITY, TWOSTOPBITS, 0, 0, 1, 0, CS8 | CSTOPB, IXOFF},
    {8, ODDPARITY, ONESTOPBIT, 1, 1, 1, 1, CS8 | PARENB | PARODD | CRTSCTS, INPCK | IXON | IXOFF},
};

constexpr tcflag_t cmask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
constexpr tcflag_t imask = INPCK | IXON | IXOFF;

TEST(port_posix, line_settings_go_to_termios_and_come_back)
{
    for (const line& l : lines) {
        DCB dcb{};
        dcb.ByteSize = l.byte_size;
        dcb.Parity = l.parity;
        dcb.StopBits = l.stop_bits;
        dcb.fOutxCtsFlow = l.cts;
        dcb.fOutX = l.xon_out;
        dcb.fInX = l.xon_in;
        dcb.fParity = l.check_parity;
        termios tio{};
        tio.c_cflag = cmask;  // everything set beforehand: each bit must be decided
        tio.c_iflag = imask | IXANY;
        port_posix_line_to_termios(dcb, &tio);
        EXPECT_EQ(tio.c_cflag & cmask, l.cflag) << int{l.byte_size} << " bits, parity " << int{l.parity};
        EXPECT_EQ(tio.c_iflag & (imask | IXANY), l.iflag);
        EXPECT_TRUE(tio.c_cflag & CREAD);
        EXPECT_TRUE(tio.c_cflag & CLOCAL);

        DCB back{};
        back.ByteSize = 99;
        back.Parity = 99;
        back.StopBits = 99;
        termios given{};
        given.c_cflag = l.cflag;
        given.c_iflag = l.iflag;
        port_posix_line_from_termios(given, &back);
        EXPECT_EQ(back.ByteSize, l.byte_size);
        EXPECT_EQ(back.Parity, l.parity);
        EXPECT_EQ(back.StopBits, l.stop_bits);
        EXPECT_EQ(back.fOutxCtsFlow, l.cts);
        EXPECT_EQ(back.fOutX, l.xon_out);
        EXPECT_EQ(back.fInX, l.xon_in);
        EXPECT_EQ(back.fParity, l.check_parity);
    }
}

struct latency_case {
    int reported;
    bool on;
    bool write;
    int flags;
};

constexpr int low = 1 << 13;  // ASYNC_LOW_LATENCY on Linux
constexpr int other = 0x41;   // the driver's other flags, which stay as they are

constexpr latency_case latency_cases[] = {
    {0, true, true, low},
    {other, true, true, other | low},
    {other | low, true, false, other | low},  // already on: open writes nothing
    {other | low, false, true, other},        // close turns off what open turned on
    {other, false, false, other},
};

TEST(port_posix, low_latency_bit_alone_is_set_and_put_back)
{
    for (const latency_case& c : latency_cases) {
        port_posix_latency r = port_posix_latency_flags(c.reported, low, c.on);
        EXPECT_EQ(r.write, c.write) << std::hex << c.reported << (c.on ? " on" : " off");
        EXPECT_EQ(r.flags, c.flags) << std::hex << c.reported << (c.on ? " on" : " off");
    }
}

}  // namespace
