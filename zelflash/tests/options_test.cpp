// Options that cannot go together.
#include "options.h"

#include <gtest/gtest.h>

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
