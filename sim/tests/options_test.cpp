#include "options.h"

#include <gtest/gtest.h>

#include "device.h"

namespace {

struct fault_text_case {
    const char* text;
    bool ok;
    double probability;
    int64_t count;
};

class FaultText : public ::testing::TestWithParam<fault_text_case> {};

TEST_P(FaultText, ProbabilityOrCount)
{
    const fault_text_case& c = GetParam();
    fault_rule r{};
    EXPECT_EQ(options_parse_fault(c.text, &r), c.ok) << c.text;
    if (c.ok) {
        EXPECT_DOUBLE_EQ(r.probability, c.probability) << c.text;
        EXPECT_EQ(r.count, c.count) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FaultText,
                         ::testing::Values(fault_text_case{"0.1", true, 0.1, 0}, fault_text_case{"10%", true, 0.1, 0},
                                           fault_text_case{"1.0", true, 1.0, 0}, fault_text_case{"100%", true, 1.0, 0},
                                           fault_text_case{"3", true, 0.0, 3}, fault_text_case{"1", true, 0.0, 1},
                                           fault_text_case{"0", true, 0.0, 0}, fault_text_case{"1e-2", true, 0.01, 0},
                                           fault_text_case{"1.5", false, 0, 0}, fault_text_case{"101%", false, 0, 0},
                                           fault_text_case{"-1", false, 0, 0}, fault_text_case{"", false, 0, 0},
                                           fault_text_case{"abc", false, 0, 0}, fault_text_case{"2x", false, 0, 0}));

TEST(Options, DefaultsAreAPlainInstantQuietDevice)
{
    options o;
    options_defaults(&o);
    EXPECT_FALSE(o.tagged);
    EXPECT_EQ(o.baud, 0);
    EXPECT_EQ(o.seed, 1u);
    EXPECT_EQ(o.report_path, "-");
    EXPECT_LT(o.exit_after_reset_ms, 0);
    EXPECT_FALSE(o.mute);
    EXPECT_EQ(o.erase_wait, DEVICE_WAIT_HOLD);
    EXPECT_GT(o.wait_spread_ms, 0);
    for (const fault_rule& r : o.faults) {
        EXPECT_EQ(r.count, 0);
        EXPECT_EQ(r.probability, 0.0);
    }
}

TEST(Options, EveryValueReachesItsField)
{
    options o;
    options_defaults(&o);
    std::string error;
    ASSERT_TRUE(options_parse(&o,
                              {"--link", "/tmp/x/com3", "--tag=0x10", "--erase-ms-per-sector", "2.5", "--program-ms",
                               "1", "--baud", "115200", "--seed", "42", "--drop-reply", "10%", "--flip-reply", "0.2",
                               "--noise", "2", "--slow-reply", "0.05", "--late-reply", "1", "--ignore-frame", "0.01",
                               "--mute", "--slow-gap-ms", "7", "--late-ms", "300", "--noise-max", "4",
                               "--exit-after-reset-ms", "250", "--time-limit-s", "60", "--report", "r.json",
                               "--flash-dump", "f.bin", "--image", "i.bin", "--image-addr", "0x8000",
                               "--late-frame", "20:150", "--miss-frame", "30", "--late-frame=7:2.5",
                               "--erase-wait", "late-erase", "--wait-spread-ms", "12"},
                              &error))
        << error;
    EXPECT_EQ(o.link_path, "/tmp/x/com3");
    EXPECT_TRUE(o.tagged);
    EXPECT_EQ(o.tag, 16u);
    EXPECT_DOUBLE_EQ(o.erase_ms_per_sector, 2.5);
    EXPECT_DOUBLE_EQ(o.program_ms, 1);
    EXPECT_EQ(o.baud, 115200);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_DOUBLE_EQ(o.faults[FAULT_DROP_REPLY].probability, 0.1);
    EXPECT_DOUBLE_EQ(o.faults[FAULT_FLIP_REPLY].probability, 0.2);
    EXPECT_EQ(o.faults[FAULT_NOISE].count, 2);
    EXPECT_DOUBLE_EQ(o.faults[FAULT_SLOW_REPLY].probability, 0.05);
    EXPECT_EQ(o.faults[FAULT_LATE_REPLY].count, 1);
    EXPECT_DOUBLE_EQ(o.faults[FAULT_IGNORE_FRAME].probability, 0.01);
    EXPECT_TRUE(o.mute);
    EXPECT_DOUBLE_EQ(o.slow_gap_ms, 7);
    EXPECT_DOUBLE_EQ(o.late_ms, 300);
    EXPECT_EQ(o.noise_max, 4);
    EXPECT_DOUBLE_EQ(o.exit_after_reset_ms, 250);
    EXPECT_DOUBLE_EQ(o.time_limit_s, 60);
    EXPECT_EQ(o.report_path, "r.json");
    EXPECT_EQ(o.flash_dump_path, "f.bin");
    EXPECT_EQ(o.image_path, "i.bin");
    EXPECT_EQ(o.image_addr, 0x8000u);
    ASSERT_EQ(o.aimed.size(), 3u);
    EXPECT_EQ(o.aimed[0].frame, 20);
    EXPECT_EQ(o.aimed[0].kind, FAULT_LATE_REPLY);
    EXPECT_EQ(o.aimed[0].delay_us, 150000);
    EXPECT_EQ(o.aimed[1].frame, 30);
    EXPECT_EQ(o.aimed[1].kind, FAULT_IGNORE_FRAME);
    EXPECT_EQ(o.aimed[2].delay_us, 2500);
    EXPECT_EQ(o.erase_wait, DEVICE_WAIT_LATE_ERASE);
    EXPECT_DOUBLE_EQ(o.wait_spread_ms, 12);
}

TEST(Options, FixtureValuesReachTheirFields)
{
    options o;
    options_defaults(&o);
    EXPECT_FALSE(o.fixture);
    std::string error;
    ASSERT_TRUE(options_parse(&o,
                              {"--fixture", "--present-ms", "1500", "--absent-ms=0", "--boards", "4", "--after-reset",
                               "loader", "--loader-boards", "2,5", "--loader-return-ms", "0.5", "--read", "0x100:4",
                               "--read", "2097151:1"},
                              &error))
        << error;
    EXPECT_TRUE(o.fixture);
    EXPECT_EQ(o.plan.present_us, 1500000);
    EXPECT_EQ(o.plan.absent_us, 0);
    EXPECT_EQ(o.plan.boards, 4);
    EXPECT_EQ(o.plan.after_reset, FIXTURE_LOADER);
    EXPECT_EQ(o.plan.loader_boards, (std::vector<int32_t>{2, 5}));
    EXPECT_EQ(o.plan.loader_return_us, 500);
    ASSERT_EQ(o.reads.size(), 2u);
    EXPECT_EQ(o.reads[0].addr, 0x100u);
    EXPECT_EQ(o.reads[0].length, 4u);
    EXPECT_EQ(o.reads[1].addr, 2097151u);
    EXPECT_EQ(o.reads[1].length, 1u);
}

struct bad_args_case {
    std::vector<std::string> args;
    const char* error_part;
};

class BadArguments : public ::testing::TestWithParam<bad_args_case> {};

TEST_P(BadArguments, RefusedWithAMessage)
{
    options o;
    options_defaults(&o);
    std::string error;
    EXPECT_FALSE(options_parse(&o, GetParam().args, &error));
    EXPECT_NE(error.find(GetParam().error_part), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadArguments,
    ::testing::Values(bad_args_case{{"--frobnicate"}, "unknown option"}, bad_args_case{{"--link"}, "missing value"},
                      bad_args_case{{"stray"}, "unexpected argument"},
                      bad_args_case{{"--baud", "0"}, "bad value for --baud"},
                      bad_args_case{{"--baud", "fast"}, "bad value for --baud"},
                      bad_args_case{{"--tag", "0x100000000"}, "bad value for --tag"},
                      bad_args_case{{"--drop-reply", "2.0"}, "bad value for --drop-reply"},
                      bad_args_case{{"--program-ms", "-1"}, "bad value for --program-ms"},
                      bad_args_case{{"--mute=yes"}, "takes no value"},
                      bad_args_case{{"--late-frame", "20"}, "bad value for --late-frame"},
                      bad_args_case{{"--late-frame", "0:100"}, "bad value for --late-frame"},
                      bad_args_case{{"--late-frame", "3:0"}, "bad value for --late-frame"},
                      bad_args_case{{"--miss-frame", "0"}, "bad value for --miss-frame"},
                      bad_args_case{{"--link", "a", "--device", "b"}, "exclude each other"},
                      bad_args_case{{"--erase-wait", "wait"}, "bad value for --erase-wait"},
                      bad_args_case{{"--wait-spread-ms", "-5"}, "bad value for --wait-spread-ms"},
                      bad_args_case{{"--present-ms", "100"}, "--present-ms needs --fixture"},
                      bad_args_case{{"--read", "0:4", "--link", "x"}, "--read needs --fixture"},
                      bad_args_case{{"--fixture", "--present-ms", "0"}, "bad value for --present-ms"},
                      bad_args_case{{"--fixture", "--absent-ms", "-1"}, "bad value for --absent-ms"},
                      bad_args_case{{"--fixture", "--boards", "-1"}, "bad value for --boards"},
                      bad_args_case{{"--fixture", "--after-reset", "reboot"}, "bad value for --after-reset"},
                      bad_args_case{{"--fixture", "--loader-boards", "0"}, "bad value for --loader-boards"},
                      bad_args_case{{"--fixture", "--read", "0x1FFFFF:2"}, "bad value for --read"},
                      bad_args_case{{"--fixture", "--read", "0:0"}, "bad value for --read"},
                      bad_args_case{{"--fixture", "--read", "0:4097"}, "bad value for --read"},
                      bad_args_case{{"--fixture", "--read", "16"}, "bad value for --read"},
                      bad_args_case{{"--fixture=1"}, "takes no value"}));

TEST(Options, HelpNamesEveryOption)
{
    std::string help = options_help();
    for (const char* name : {"--link", "--device", "--baud", "--tag", "--erase-ms-per-sector", "--program-ms", "--seed",
                             "--drop-reply", "--flip-reply", "--noise", "--slow-reply", "--late-reply",
                             "--ignore-frame", "--late-frame", "--miss-frame", "--mute", "--slow-gap-ms", "--late-ms", "--noise-max",
                             "--exit-after-reset-ms", "--time-limit-s", "--report", "--flash-dump", "--image",
                             "--image-addr", "--erase-wait", "hold-all", "late-erase", "--wait-spread-ms", "--help",
                             "--fixture", "--present-ms", "--absent-ms", "--boards", "--after-reset", "--loader-boards",
                             "--loader-return-ms", "--read", "board K seated", "board K removed"})
        EXPECT_NE(help.find(name), std::string::npos) << name;
}

}  // namespace
