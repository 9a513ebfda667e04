// Options that cannot go together, and the words of a command line that are
// paths, not options.
#include "commands/options.h"

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <algorithm>

namespace {

TEST(options, options_that_cannot_go_together_are_refused)
{
    struct row {
        std::string glob;
        std::vector<std::string> match;
        const char* error;
    };
    const row rows[] = {
        {"", {}, ""},
        {"/dev/serial/by-id/*", {}, ""},
        {"", {"0403:6001"}, ""},
        {"/dev/serial/by-id/*", {"0403:6001"},
         "--glob and --match cannot go together: the paths --glob matches are taken whatever their USB ids; give "
         "one of them"},
    };
    for (const row& r : rows) {
        watch_options w;
        w.glob = r.glob;
        w.match = r.match;
        EXPECT_EQ(options_watch_error(w), r.error) << r.glob;
    }
}

}  // namespace

namespace {

// The command line as main declares it, read from a list of words.
struct command_line {
    CLI::App app;
    setting_values values;
    setting_marks given;
    flash_options& flash = values.flash;
    std::vector<std::string>& ports = values.ports;
    watch_options& watching = values.watch;
    bool list_json = false;
    std::vector<std::string> logs;
    std::string by;
    bool report_json = false;

    command_line()
    {
        options_prepare_app(app);
        options_add_write(app, &values, &given);
        options_add_watch(app, &values, &given);
        options_add_list(app, &list_json);
        options_add_report(app, &logs, &by, &report_json);
    }
    // The values read, or the parser's error.
    std::string read(std::vector<std::string> words)
    {
        std::reverse(words.begin(), words.end());  // CLI11 takes them last first
        try {
            app.parse(words);
        } catch (const CLI::ParseError& e) {
            return std::string("error: ") + e.what();
        }
        std::string text = "image=" + flash.image_path + " format=" + flash.format + " quiet=" +
                           (flash.quiet ? "1" : "0") + " glob=" + watching.glob + " log=" + flash.station.log;
        for (const std::string& p : ports)
            text += " port=" + p;
        for (const std::string& l : logs)
            text += " report=" + l;
        return text;
    }
};

struct line_case {
    std::vector<std::string> words;
    std::string values;
};

void PrintTo(const line_case& c, std::ostream* out)
{
    for (const std::string& w : c.words)
        *out << w << ' ';
}

class options_paths : public testing::TestWithParam<line_case> {};

// A word that starts with "/" is a path wherever zelflash runs; its options
// are spelt with - and -- alone.
TEST_P(options_paths, a_word_starting_with_a_slash_is_a_path_and_options_keep_their_dashes)
{
    command_line line;
    EXPECT_EQ(line.read(GetParam().words), GetParam().values);
}

const std::string plain = " format=auto quiet=0 glob= log=";

INSTANTIATE_TEST_SUITE_P(
    options, options_paths,
    testing::Values(
        line_case{{"write", "-p", "COM7", "/images/fw.bin"}, "image=/images/fw.bin" + plain + " port=COM7"},
        line_case{{"write", "-p", "COM7", "/c/images/fw.bin"}, "image=/c/images/fw.bin" + plain + " port=COM7"},
        line_case{{"write", "-p", "COM7", "/mnt/c/images/fw.bin"}, "image=/mnt/c/images/fw.bin" + plain + " port=COM7"},
        line_case{{"write", "-p", "COM7", "\\\\server\\share\\fw.bin"},
                  "image=\\\\server\\share\\fw.bin" + plain + " port=COM7"},
        line_case{{"write", "-p", "COM7", "//server/share/fw.bin"}, "image=//server/share/fw.bin" + plain + " port=COM7"},
        line_case{{"write", "-p", "/dev/ttyUSB0", "/q"}, "image=/q" + plain + " port=/dev/ttyUSB0"},
        line_case{{"write", "-p", "COM7", "/format:ihex"}, "image=/format:ihex" + plain + " port=COM7"},
        line_case{{"write", "/fw.hex", "--port", "COM7", "--format", "ihex", "-q"},
                  "image=/fw.hex format=ihex quiet=1 glob= log= port=COM7"},
        line_case{{"write", "-p", "COM7", "/a.bin", "/b.bin"},
                  "error: The following argument was not expected: /b.bin"},
        line_case{{"write", "-p", "COM7", "/p", "COM8"}, "error: The following argument was not expected: COM8"},
        line_case{{"watch", "--glob", "/dev/serial/by-id/*", "--log", "/var/log/boards.log", "/images/fw.hex"},
                  "image=/images/fw.hex format=auto quiet=0 glob=/dev/serial/by-id/* log=/var/log/boards.log"},
        line_case{{"report", "/var/log/a.log", "\\\\server\\logs\\b.log", "/mnt/d/c.log"},
                  "image=" + plain + " report=/var/log/a.log report=\\\\server\\logs\\b.log report=/mnt/d/c.log"}));

}  // namespace
