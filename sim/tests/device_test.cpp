#include "device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "lpkt.h"

namespace {

using bytes = std::vector<uint8_t>;

// A command as the tool lays it out: the name and its NUL in an 8-byte field
// (the rest of the field holds `filler`), two LE32 parameters, data.
bytes command(const char* name, uint32_t p1, uint32_t p2, const bytes& data = {}, uint8_t filler = 0xAA)
{
    bytes c(16, filler);
    std::memcpy(c.data(), name, std::strlen(name) + 1);
    put_le32(c.data() + 8, p1);
    put_le32(c.data() + 12, p2);
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

bytes name_only(const char* name, uint8_t filler = 0xAA)
{
    bytes c(8, filler);
    std::memcpy(c.data(), name, std::strlen(name) + 1);
    return c;
}

constexpr int64_t erase_us_per_sector = 10000;
constexpr int64_t program_us = 3000;

struct DeviceTest : ::testing::Test {
    device d;
    void SetUp() override { device_init(&d, device_timing{erase_us_per_sector, program_us, DEVICE_WAIT_HOLD}); }
    const command_record& run(const bytes& payload, int64_t now_us)
    {
        return d.log[device_command(&d, payload, now_us)];
    }
};

TEST_F(DeviceTest, EraseIsAnsweredAtOnceAndRunsPerSector)
{
    std::vector<uint8_t> zeros(3 * 4096, 0);
    ASSERT_TRUE(flash_program(&d.memory, 0, zeros));
    const command_record& r = run(command("ERASE", 100, 8193), 1000);  // touches sectors 0..2
    EXPECT_EQ(r.name, "ERASE");
    EXPECT_EQ(r.param1, 100u);
    EXPECT_EQ(r.param2, 8193u);
    EXPECT_EQ(r.outcome, DEVICE_ANSWERED);
    EXPECT_EQ(r.reply_us, 1000);
    EXPECT_EQ(d.erase_end_us, 1000 + 3 * erase_us_per_sector);
    EXPECT_TRUE(device_erasing(&d, 1000 + 3 * erase_us_per_sector - 1));
    EXPECT_FALSE(device_erasing(&d, 1000 + 3 * erase_us_per_sector));
    EXPECT_EQ(d.memory.bytes[0], 0xFF);
    EXPECT_EQ(d.memory.bytes[3 * 4096 - 1], 0xFF);
}

TEST_F(DeviceTest, WaitWithoutEraseIsAnsweredAtOnce)
{
    const command_record& r = run(command("PROGRAM", 0, 0), 500);
    EXPECT_EQ(r.outcome, DEVICE_ANSWERED);
    EXPECT_EQ(r.reply_us, 500);
}

TEST_F(DeviceTest, WaitDuringEraseIsHeldUntilTheEraseEnds)
{
    run(command("ERASE", 0, 4096), 0);  // ends at 10000
    size_t first = device_command(&d, command("PROGRAM", 0, 0), 2000);
    EXPECT_EQ(d.log[first].outcome, DEVICE_WAITING);
    size_t second = device_command(&d, command("PROGRAM", 0, 0), 4000);
    EXPECT_EQ(d.log[first].outcome, DEVICE_SUPERSEDED);
    EXPECT_TRUE(device_release_waits(&d, 9999).empty());
    EXPECT_EQ(device_release_waits(&d, 10000), std::vector<size_t>{second});
    EXPECT_EQ(d.log[second].outcome, DEVICE_ANSWERED);
    EXPECT_EQ(d.log[second].reply_us, 10000);
    EXPECT_TRUE(device_release_waits(&d, 20000).empty());  // only once
}

TEST_F(DeviceTest, NewEraseDropsAWaitHeldForTheOldOne)
{
    run(command("ERASE", 0, 4096), 0);
    size_t wait = device_command(&d, command("PROGRAM", 0, 0), 1000);
    run(command("ERASE", 0, 8192), 5000);  // ends at 25000
    EXPECT_EQ(d.log[wait].outcome, DEVICE_SUPERSEDED);
    EXPECT_TRUE(device_release_waits(&d, 30000).empty());
}

// What each kind of device makes of the same conversation: ERASE of one
// sector (10 ms) at 0, two questions and a chunk while it erases, a second
// ERASE at 6 ms, and a question after the end of every erase there is.
struct erase_wait_case {
    int32_t mode;
    int32_t first_erase;      // outcome of ERASE at 0 and when it is answered
    int64_t first_erase_us;
    int32_t question;         // outcome of the question at 2 ms
    int32_t later_question;   // outcome of the question at 4 ms
    int32_t chunk;            // outcome of the chunk at 5 ms
    int32_t second_erase;     // ERASE at 6 ms
    int64_t second_erase_us;  // when it is answered
    size_t released;          // questions answered when the erase ends
    int64_t erase_end_us;
};

const erase_wait_case erase_wait_cases[] = {
    {DEVICE_WAIT_HOLD, DEVICE_ANSWERED, 0, DEVICE_SUPERSEDED, DEVICE_SUPERSEDED, DEVICE_BUSY, DEVICE_ANSWERED, 6000,
     0, 16000},
    {DEVICE_WAIT_HOLD_ALL, DEVICE_ANSWERED, 0, DEVICE_SUPERSEDED, DEVICE_SUPERSEDED, DEVICE_BUSY, DEVICE_ANSWERED,
     6000, 0, 16000},
    {DEVICE_WAIT_IGNORE, DEVICE_ANSWERED, 0, DEVICE_BUSY, DEVICE_BUSY, DEVICE_BUSY, DEVICE_BUSY, 0, 0, 10000},
    // Taken in order: the chunk after the first erase, the second erase after it.
    {DEVICE_WAIT_LATE_ERASE, DEVICE_ANSWERED, 10000, DEVICE_ANSWERED, DEVICE_ANSWERED, DEVICE_ANSWERED,
     DEVICE_ANSWERED, 20000, 0, 20000},
};

TEST_F(DeviceTest, EachEraseWaitModeAnswersItsOwnWay)
{
    for (const erase_wait_case& c : erase_wait_cases) {
        SCOPED_TRACE(device_erase_wait_name(c.mode));
        device_init(&d, device_timing{erase_us_per_sector, 0, c.mode});
        size_t erase = device_command(&d, command("ERASE", 0, 4096), 0);
        size_t question = device_command(&d, command("PROGRAM", 0, 0), 2000);
        size_t later = device_command(&d, command("PROGRAM", 0, 0), 4000);
        size_t chunk = device_command(&d, command("PROGRAM", 0, 4, {0, 0, 0, 0}), 5000);
        size_t second = device_command(&d, command("ERASE", 0, 4096), 6000);
        EXPECT_EQ(d.log[erase].outcome, c.first_erase);
        EXPECT_EQ(d.log[erase].reply_us, c.first_erase_us);
        EXPECT_EQ(d.log[question].outcome, c.question);
        EXPECT_EQ(d.log[later].outcome, c.later_question);
        EXPECT_EQ(d.log[chunk].outcome, c.chunk);
        EXPECT_EQ(d.log[second].outcome, c.second_erase);
        if (c.second_erase == DEVICE_ANSWERED) {
            EXPECT_EQ(d.log[second].reply_us, c.second_erase_us);
        }
        EXPECT_EQ(d.erase_end_us, c.erase_end_us);
        EXPECT_EQ(device_release_waits(&d, c.erase_end_us).size(), c.released);
        const command_record& after = run(command("PROGRAM", 0, 0), c.erase_end_us);
        EXPECT_EQ(after.outcome, DEVICE_ANSWERED);
        EXPECT_EQ(after.reply_us, c.erase_end_us);
    }
}

// Questions held through one erase: the holding device answers only the
// latest, the one that holds them all answers every one, in order.
TEST_F(DeviceTest, HoldingDevicesAnswerTheLatestOrEveryHeldQuestion)
{
    for (int32_t mode : {DEVICE_WAIT_HOLD, DEVICE_WAIT_HOLD_ALL}) {
        SCOPED_TRACE(device_erase_wait_name(mode));
        device_init(&d, device_timing{erase_us_per_sector, 0, mode});
        run(command("ERASE", 0, 4096), 0);
        std::vector<size_t> asked;
        for (int64_t at : {1000, 3000, 7000})
            asked.push_back(device_command(&d, command("PROGRAM", 0, 0), at));
        std::vector<size_t> released = device_release_waits(&d, 10000);
        EXPECT_EQ(released, mode == DEVICE_WAIT_HOLD ? std::vector<size_t>{asked.back()} : asked);
        for (size_t i : released)
            EXPECT_EQ(d.log[i].reply_us, 10000);
    }
}

TEST(DeviceEraseWait, NamesAndParsingAgree)
{
    for (int32_t mode = 0; mode < DEVICE_WAIT_MODES; ++mode)
        EXPECT_EQ(device_erase_wait_parse(device_erase_wait_name(mode)), mode);
    EXPECT_EQ(device_erase_wait_parse("holdall"), -1);
    EXPECT_EQ(device_erase_wait_parse(""), -1);
}

TEST_F(DeviceTest, ProgramDuringEraseIsNotAnsweredAndChangesNothing)
{
    run(command("ERASE", 0, 4096), 0);
    const command_record& r = run(command("PROGRAM", 0, 4, {0, 0, 0, 0}), 5000);
    EXPECT_EQ(r.outcome, DEVICE_BUSY);
    EXPECT_EQ(d.memory.bytes[0], 0xFF);
    const command_record& later = run(command("PROGRAM", 0, 4, {0, 1, 2, 3}), 10000);
    EXPECT_EQ(later.outcome, DEVICE_ANSWERED);
    EXPECT_EQ(d.memory.bytes[3], 3);
}

TEST_F(DeviceTest, ProgramAndsDataIntoFlashAndAnswersAfterItsTime)
{
    bytes data = {0xF0, 0x0F, 0xC0, 0xDB};
    const command_record& r = run(command("PROGRAM", 0x100, 0x104, data), 7000);
    EXPECT_EQ(r.outcome, DEVICE_ANSWERED);
    EXPECT_EQ(r.reply_us, 7000 + program_us);
    EXPECT_EQ(r.data_length, 4u);
    run(command("PROGRAM", 0x100, 0x104, {0x3C, 0x3C, 0xFF, 0xFF}), 8000);
    EXPECT_EQ(bytes(d.memory.bytes.begin() + 0x100, d.memory.bytes.begin() + 0x104), (bytes{0x30, 0x0C, 0xC0, 0xDB}));
    EXPECT_EQ(d.memory.bytes[0xFF], 0xFF);
    EXPECT_EQ(d.memory.bytes[0x104], 0xFF);
}

TEST_F(DeviceTest, ClockSettingKeepsBothRecords)
{
    bytes payload = name_only("RTC_SET");
    bytes record = {25, 3, 14, 15, 9, 26, 0, 0};
    payload.insert(payload.end(), record.begin(), record.end());
    payload.insert(payload.end(), record.begin(), record.end());
    const command_record& r = run(payload, 42);
    EXPECT_EQ(r.outcome, DEVICE_ANSWERED);
    ASSERT_EQ(d.clock_settings.size(), 1u);
    EXPECT_EQ(bytes(d.clock_settings[0].first.begin(), d.clock_settings[0].first.end()), record);
    EXPECT_EQ(bytes(d.clock_settings[0].second.begin(), d.clock_settings[0].second.end()), record);
}

TEST_F(DeviceTest, ResetIsCountedWhateverTheUnusedNameBytesHold)
{
    EXPECT_EQ(run(name_only("RESET", 0x00), 10).outcome, DEVICE_ANSWERED);
    EXPECT_EQ(run(name_only("RESET", 0x5A), 20).outcome, DEVICE_ANSWERED);
    EXPECT_EQ(d.resets, 2);
    EXPECT_EQ(d.last_reset_us, 20);
}

struct refused_case {
    const char* name;
    bytes payload;
    int32_t outcome;
};

class DeviceRefuses : public ::testing::TestWithParam<refused_case> {};

TEST_P(DeviceRefuses, NotAnsweredAndNothingChanged)
{
    device d;
    device_init(&d, device_timing{0, 0, DEVICE_WAIT_HOLD});
    std::vector<uint8_t> zeros(16, 0);
    ASSERT_TRUE(flash_program(&d.memory, 0, zeros));
    size_t i = device_command(&d, GetParam().payload, 0);
    EXPECT_EQ(d.log[i].outcome, GetParam().outcome) << GetParam().name;
    EXPECT_EQ(d.memory.bytes[0], 0x00) << GetParam().name;
    EXPECT_EQ(d.memory.bytes[FLASH_SIZE - 1], 0xFF) << GetParam().name;
    EXPECT_EQ(d.resets, 0);
    EXPECT_TRUE(d.clock_settings.empty());
}

bytes with_length(bytes b, size_t n)
{
    b.resize(n, 0);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceRefuses,
    ::testing::Values(
        refused_case{"unknown name", command("FORMAT", 0, 16), DEVICE_UNKNOWN},
        refused_case{"lower-case name", command("erase", 0, 16), DEVICE_UNKNOWN},
        refused_case{"no NUL in the name field", with_length(bytes{'P', 'R', 'O', 'G', 'R', 'A', 'M', 'X'}, 16),
                     DEVICE_UNKNOWN},
        refused_case{"shorter than a name field", bytes{'E', 'R', 'A', 'S', 'E'}, DEVICE_UNKNOWN},
        refused_case{"empty payload", bytes{}, DEVICE_UNKNOWN},
        refused_case{"ERASE with data", command("ERASE", 0, 16, {1}), DEVICE_MALFORMED},
        refused_case{"ERASE without parameters", name_only("ERASE"), DEVICE_MALFORMED},
        refused_case{"ERASE end before start", command("ERASE", 16, 0), DEVICE_MALFORMED},
        refused_case{"ERASE past the flash", command("ERASE", 0, FLASH_SIZE + 1), DEVICE_OUT_OF_FLASH},
        refused_case{"PROGRAM short of its data", command("PROGRAM", 0, 4, {0, 0, 0}), DEVICE_MALFORMED},
        refused_case{"PROGRAM with extra data", command("PROGRAM", 0, 2, {0, 0, 0}), DEVICE_MALFORMED},
        refused_case{"PROGRAM end before start", command("PROGRAM", 4, 0, {}), DEVICE_MALFORMED},
        refused_case{"PROGRAM past the flash", command("PROGRAM", FLASH_SIZE - 1, FLASH_SIZE + 1, {0, 0}),
                     DEVICE_OUT_OF_FLASH},
        refused_case{"PROGRAM without parameters", name_only("PROGRAM"), DEVICE_MALFORMED},
        refused_case{"RTC_SET one record only", with_length(name_only("RTC_SET"), 16), DEVICE_MALFORMED},
        refused_case{"RTC_SET one byte long", with_length(name_only("RTC_SET"), 25), DEVICE_MALFORMED},
        refused_case{"RESET with parameters", command("RESET", 0, 0), DEVICE_MALFORMED}));

TEST_F(DeviceTest, NamesAreLoggedPrintable)
{
    bytes payload = {'E', 'R', '\x01', '"', 0, 0, 0, 0};
    EXPECT_EQ(run(payload, 0).name, "ER??");
}

}  // namespace
