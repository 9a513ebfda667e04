// The board log: whole lines, appended, and a line cut short by an earlier
// crash left alone with the new records on lines of their own.
#include "board_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct log_file : testing::Test {
    fs::path path = fs::temp_directory_path() /
                    ("zelflash-log-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ~log_file() override
    {
        std::error_code ec;
        fs::remove(path, ec);
    }
    void put(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string text() const
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
};

struct torn_case {
    const char* label;
    std::string before;  // the file as an earlier run left it
    bool torn;
    std::string after;   // with the record {"port":"dev2"} appended
};

class appending : public log_file, public testing::WithParamInterface<torn_case> {};

TEST_P(appending, leaves_what_was_there_and_starts_each_record_on_its_own_line)
{
    const torn_case& c = GetParam();
    if (c.before != "none")
        put(c.before);
    board_log log;
    std::string error;
    ASSERT_TRUE(log.open(path.string(), &error)) << error;
    EXPECT_EQ(log.found_torn(), c.torn);
    ASSERT_TRUE(log.append({{"port", "dev2"}}, &error)) << error;
    ASSERT_TRUE(log.append({{"port", "dev3"}}, &error)) << error;
    ASSERT_TRUE(log.close(&error)) << error;
    EXPECT_EQ(text(), c.after + "{\"port\":\"dev3\"}\n");
}

INSTANTIATE_TEST_SUITE_P(
    log, appending,
    testing::Values(torn_case{"new_file", "none", false, "{\"port\":\"dev2\"}\n"},
                    torn_case{"empty_file", "", false, "{\"port\":\"dev2\"}\n"},
                    torn_case{"whole_lines", "{\"port\":\"dev1\"}\n", false,
                              "{\"port\":\"dev1\"}\n{\"port\":\"dev2\"}\n"},
                    torn_case{"last_line_cut_short", "{\"port\":\"dev0\"}\n{\"port\":\"de", true,
                              "{\"port\":\"dev0\"}\n{\"port\":\"de\n{\"port\":\"dev2\"}\n"}),
    [](const auto& info) { return info.param.label; });

TEST_F(log_file, a_log_that_cannot_be_opened_is_named_in_the_error)
{
    board_log log;
    std::string error;
    fs::path inside = path / "boards.log";  // its folder does not exist
    EXPECT_FALSE(log.open(inside.string(), &error));
    EXPECT_EQ(error.rfind(inside.string() + ": cannot open the log for appending: ", 0), 0u) << error;
    EXPECT_FALSE(log.is_open());
}

}  // namespace
