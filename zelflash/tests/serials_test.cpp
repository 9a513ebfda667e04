// The state file: values handed out once, whatever stops zelflash, and what
// it finds at the next open.
#include "values/serials.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "platform/file_lock.h"

namespace {

namespace fs = std::filesystem;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

std::string text_of(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

field_spec counter(uint64_t start, uint64_t step = 1, std::optional<uint64_t> last = {}, const char* format = "le32")
{
    field_spec f;
    f.name = "serial";
    std::string error;
    EXPECT_TRUE(field_format_parse(format, &f.encoding, &f.width, &error));
    f.start = start, f.step = step, f.last = last;
    return f;
}

struct serials : testing::Test {
    // fsync on tmpfs costs nothing, and no property here depends on the disk.
    fs::path dir = (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                   ("zelflash-serials-" + std::to_string(std::random_device{}()));
    std::string path = (dir / "station.serials").string();
    std::string list = (dir / "macs.txt").string();
    std::vector<field_spec> fields = {counter(1000)};
    serials() { fs::create_directories(dir); }
    ~serials() override { fs::remove_all(dir); }

    // Opens the file anew; the state file held before is dropped first, as
    // a crash drops it, with its boards unfinished.
    std::unique_ptr<serial_state> reopen(std::unique_ptr<serial_state>& held, failed_policy policy = FAILED_BURN)
    {
        held.reset();
        return open(policy);
    }
    // Opens the file, made first (as job init makes it) when there is none.
    std::unique_ptr<serial_state> open(failed_policy policy = FAILED_BURN)
    {
        auto state = std::make_unique<serial_state>(path, "");
        std::string error;
        if (!fs::exists(path)) {
            EXPECT_TRUE(serial_state_create(path, fields, "", &error)) << error;
        }
        EXPECT_TRUE(state->open(fields, policy, &error)) << error;
        return state;
    }
    // The first value for the next board, or why there is none.
    std::string next(serial_state& state, uint64_t* ticket = nullptr)
    {
        std::vector<field_value> values;
        uint64_t t = 0;
        std::string error;
        return state.reserve("board", &values, ticket ? ticket : &t, &error) ? values[0].text : "refused: " + error;
    }
    void add_list(const std::string& lines)
    {
        std::ofstream(list, std::ios::binary) << lines;
        field_spec mac;
        mac.name = "mac", mac.kind = FIELD_LIST, mac.encoding = FIELD_BYTES, mac.width = 6, mac.list = list;
        fields = {mac};
    }
};

TEST_F(serials, records_each_board_reserved_then_used_or_failed)
{
    field_spec batch;
    batch.name = "batch", batch.kind = FIELD_VALUE, batch.encoding = FIELD_TEXT, batch.width = 4, batch.value = "B7";
    fields = {counter(1000, 5), batch};
    auto state = open();
    uint64_t a = 0, b = 0;
    EXPECT_EQ(next(*state, &a), "1000");
    EXPECT_EQ(next(*state, &b), "1005");
    std::vector<field_value> peeked;
    std::string error;
    ASSERT_TRUE(state->peek(&peeked, &error));
    EXPECT_THAT(peeked, ElementsAre(field_value{"serial", "1010"}, field_value{"batch", "B7"}));
    ASSERT_TRUE(state->finish(a, true, false, &error)) << error;
    ASSERT_TRUE(state->finish(b, false, false, &error)) << error;
    EXPECT_FALSE(state->finish(b, true, false, &error));
    EXPECT_THAT(error, HasSubstr("no board holds ticket 2"));

    std::string text = text_of(path);
    EXPECT_THAT(text, HasSubstr("{\"rec\":\"open\",\"pid\":" + std::to_string(file_lock_process_id()) +
                                ",\"policy\":\"burn\",\"time\":\""));
    EXPECT_THAT(text, HasSubstr(R"({"rec":"reserved","ticket":1,"values":{"serial":"1000","batch":"B7"},"board":"board","time":")"));
    EXPECT_THAT(text, HasSubstr("\n{\"rec\":\"used\",\"ticket\":1}\n{\"rec\":\"failed\",\"ticket\":2,\"then\":\"burn\"}\n"));
}

TEST_F(serials, a_second_open_is_refused_while_the_first_holds_the_file)
{
    auto first = open();
    EXPECT_EQ(next(*first), "1000");
    serial_state second(path, "");
    std::string error;
    EXPECT_FALSE(second.open(fields, FAILED_BURN, &error));
    EXPECT_EQ(error, path + " is in use by another zelflash (pid " + std::to_string(file_lock_process_id()) +
                         "); one station, one state file");
    first.reset();
    ASSERT_TRUE(second.open(fields, FAILED_BURN, &error)) << error;
    EXPECT_EQ(next(second), "1001");
}

TEST_F(serials, values_left_reserved_are_burned_and_said_so)
{
    fields = {counter(1017)};
    auto state = open();
    next(*state), next(*state);
    state = reopen(state);  // the first is dropped without finishing, as a crash leaves it
    EXPECT_THAT(state->notices(),
                ElementsAre(path + ": 2 values were reserved when zelflash last stopped without finishing: serial "
                                   "1017, 1018; they are burned, not handed out again"));
    EXPECT_EQ(next(*state), "1019");
    state.reset();
    EXPECT_EQ(open()->notices().size(), 1u) << "1019 only, said once";
}

TEST_F(serials, a_counter_runs_out_at_its_last_value_or_its_width_and_stays_out)
{
    struct row {
        field_spec field;
        std::vector<std::string> handed;
        const char* error;
    };
    const row rows[] = {
        {counter(1, 1, 3), {"1", "2", "3"}, "field 'serial' has run out: its last value 3 is handed out"},
        {counter(1, 2, 6), {"1", "3", "5"}, "its last value 5 is handed out"},
        {counter(254, 1, {}, "le8"), {"254", "255"}, "its last value 255 (the most le8 holds) is handed out"},
        {counter(90, 4, {}, "dec2"), {"90", "94", "98"}, "its last value 98 (the most dec2 holds)"},
        {counter(UINT64_MAX - 1, 1, {}, "le64"), {"18446744073709551614", "18446744073709551615"}, "has run out"},
    };
    for (const row& r : rows) {
        fs::remove(path);
        fields = {r.field};
        auto state = open();
        for (const std::string& value : r.handed)
            EXPECT_EQ(next(*state), value);
        EXPECT_THAT(next(*state), HasSubstr(r.error));
        state = reopen(state);
        EXPECT_THAT(next(*state), HasSubstr(r.error)) << "after reopening";
    }
}

TEST_F(serials, a_list_hands_out_its_lines_once_whatever_their_spelling)
{
    add_list("# MACs\n02:00:00:00:00:01\n\n  02-00-00-00-00-02  \r\n020000000003\n");
    auto state = open();
    EXPECT_EQ(next(*state), "02:00:00:00:00:01");
    state = reopen(state);
    EXPECT_EQ(next(*state), "02-00-00-00-00-02");
    EXPECT_EQ(next(*state), "020000000003");
    EXPECT_THAT(next(*state), HasSubstr("field 'mac' has run out: all 3 values of " + list + " are handed out"));
    state.reset();
    add_list("# MACs\n02:00:00:00:00:01\n\n  02-00-00-00-00-02  \r\n020000000003\n02 00 00 00 00 04\n");
    EXPECT_EQ(next(*open()), "02 00 00 00 00 04") << "a line added at the end";
}

TEST_F(serials, a_bad_list_names_its_file_and_line)
{
    const std::pair<const char*, std::string> rows[] = {
        {"020000000001\n02:00\n", list + ":2: field 'mac': '02:00' is 2 bytes; bytes6 takes exactly 6"},
        {"# one\n020000000001\n02:00:00:00:00:01\n", list + ":3: '02:00:00:00:00:01' is the value of line 2 again"},
        {nullptr, list + ": cannot read the list of field 'mac'"},
    };
    for (const auto& [lines, expected] : rows) {
        add_list(lines ? lines : "");
        if (!lines)
            fs::remove(list);
        serial_state state(path, "");
        std::string error;
        EXPECT_FALSE(state.open(fields, FAILED_BURN, &error));
        EXPECT_THAT(error, HasSubstr(expected));
    }
}

// A board fails with 1000 in the first run; what the next board gets, in
// that run and in the next, under each run's policy, and when a chunk
// holding its value may have reached its flash (held).
TEST_F(serials, a_failed_value_goes_to_the_next_board_only_under_reuse)
{
    struct row {
        failed_policy first, second;
        const char* same_run;
        const char* next_run;
        bool held = false;
    };
    const row rows[] = {{FAILED_REUSE, FAILED_REUSE, "1000", "1000"},
                        {FAILED_REUSE, FAILED_BURN, "1000", "1001"},
                        {FAILED_BURN, FAILED_REUSE, "1001", "1002"},
                        {FAILED_BURN, FAILED_BURN, "1001", "1002"},
                        {FAILED_REUSE, FAILED_REUSE, "1001", "1002", true}};
    for (const row& r : rows) {
        fs::remove(path);
        auto state = open(r.first);
        uint64_t ticket = 0;
        std::string error;
        next(*state, &ticket);
        ASSERT_TRUE(state->finish(ticket, false, r.held, &error)) << error;
        EXPECT_EQ(text_of(path).find(R"("then":"burn","why":"sent")") != std::string::npos,
                  r.held && r.first == FAILED_REUSE);
        EXPECT_EQ(next(*state, &ticket), r.same_run);
        ASSERT_TRUE(state->finish(ticket, false, r.held, &error)) << error;
        state = reopen(state, r.second);
        EXPECT_EQ(next(*state), r.next_run) << r.first << " then " << r.second;
    }
}

// Power lost while the reservation of 1001 was being written, after `keep`
// of its bytes.
TEST_F(serials, a_reservation_cut_short_is_set_aside_and_what_it_shows_burned)
{
    const std::string through_value = R"({"rec":"reserved","ticket":2,"values":{"serial":"1001")";
    struct row {
        size_t keep;  // SIZE_MAX: all but its line end
        const char* notice;
        const char* next;
    };
    const row rows[] = {
        {0, nullptr, "1001"},
        {1, "line 5 was cut short when zelflash last stopped (a crash or a power loss); set aside", "1001"},
        {through_value.size() - 1, "line 5 was cut short", "1001"},
        {through_value.size(), "line 5 was cut short when zelflash last stopped (a crash or a power loss); set "
                               "aside, and the values still readable there are burned: serial 1001",
         "1002"},
        {SIZE_MAX, "1 value was reserved when zelflash last stopped without finishing: serial 1001; it is burned",
         "1002"},
    };
    for (const row& r : rows) {
        fs::remove(path);
        auto state = open();
        uint64_t ticket = 0;
        std::string error;
        next(*state, &ticket);
        ASSERT_TRUE(state->finish(ticket, true, false, &error)) << error;
        file_lock_set_append_cut([&](size_t size) { return r.keep == SIZE_MAX ? size - 1 : r.keep; });
        EXPECT_THAT(next(*state), HasSubstr("the write was cut short"));
        file_lock_set_append_cut(nullptr);
        EXPECT_THAT(next(*state), HasSubstr("no value is handed out from this run on: free space on its disk"));
        state = reopen(state);
        if (r.notice)
            EXPECT_THAT(state->notices(), ElementsAre(HasSubstr(r.notice))) << r.keep;
        else
            EXPECT_THAT(state->notices(), ElementsAre()) << r.keep;
        EXPECT_EQ(next(*state), r.next) << r.keep;
        state = reopen(state);
        EXPECT_THAT(state->notices(), ElementsAre(HasSubstr("reserved when"))) << "the cut line is settled once";
    }
}

TEST_F(serials, a_file_that_cannot_be_trusted_is_refused_naming_file_and_line)
{
    const std::string head = "{\"zelflash_serials\":1}\n";
    const std::string reserve1 = R"({"rec":"reserved","ticket":1,"values":{"serial":"5"}})" "\n";
    const std::pair<std::string, std::string> rows[] = {
        {"hello\n", path + " is not a zelflash state file"},
        {"{\"zelflash_serials\":4}\n", path + " is in format 4, which this zelflash does not know"},
        {head + "{\"rec\":\"res\n" + reserve1, path + ":2: this line cannot be read as a record"},
        {head + reserve1 + "{\"rec\":\"used\",\"ticket\":9}\n", path + ":3: the board of ticket 9 is recorded used"},
        {head + reserve1 + reserve1, path + ":3: ticket 1 is reserved again while line 2 still holds it"},
    };
    for (const auto& [text, error] : rows) {
        std::ofstream(path, std::ios::binary) << text;
        serial_state state(path, "");
        std::string why;
        EXPECT_FALSE(state.open(fields, FAILED_BURN, &why));
        EXPECT_THAT(why, HasSubstr(error));
        EXPECT_EQ(text_of(path), text) << "nothing written to it";
    }
}

TEST_F(serials, a_header_cut_short_is_completed)
{
    std::ofstream(path, std::ios::binary) << "{\"zelfl";
    EXPECT_EQ(next(*open()), "1000");
    EXPECT_EQ(text_of(path).substr(0, 23), "{\"zelflash_serials\":1}\n");
}

TEST_F(serials, boards_programmed_at_once_get_distinct_values)
{
    auto state = open();
    std::vector<std::string> got(8 * 40);
    std::vector<std::thread> boards;
    for (size_t t = 0; t < 8; t++)
        boards.emplace_back([&, t] {
            for (size_t i = 0; i < 40; i++)
                got[t * 40 + i] = next(*state);
        });
    for (std::thread& board : boards)
        board.join();
    std::set<std::string> all(got.begin(), got.end());
    EXPECT_EQ(all.size(), 320u);
    EXPECT_EQ(*all.begin(), "1000");
    EXPECT_EQ(*all.rbegin(), "1319");
}

// A lot's state file opened by a job whose fields changed: refused naming
// the difference, or, for a range that only grew, the change recorded.
TEST_F(serials, a_state_file_is_bound_to_the_fields_it_was_made_for)
{
    struct row {
        const char* name;
        void (*change)(std::vector<field_spec>* f);
        const char* list;     // the list file now; null: as made
        const char* refused;  // null: opened, and a "fields" record added
    };
    const char* made_list = "A1\nA2";  // no line end after the last line
    const row rows[] = {
        {"start", [](auto* f) { (*f)[0].start = 500; }, nullptr, "start/step 500/1 in the job, 1000/1 in the state file"},
        {"step", [](auto* f) { (*f)[0].step = 2; }, nullptr, "start/step 1000/2 in the job, 1000/1"},
        {"format", [](auto* f) { (*f)[0].width = 2; }, nullptr, "format le16 in the job, le32 in the state file"},
        {"address", [](auto* f) { (*f)[0].address = 64; }, nullptr, "address 64 in the job, 0 in the state file"},
        {"last_lowered", [](auto* f) { (*f)[0].last = 1500; }, nullptr, "last 1500 in the job, 1999 in the state file"},
        {"field_more", [](auto* f) { f->push_back(counter(1)), f->back().name = "batch", f->back().address = 32; },
         nullptr, "the job's field 'batch' is not one this state file hands out (it has serial, code)"},
        {"field_less", [](auto* f) { f->pop_back(); }, nullptr, "hands out field 'code', which the job does not have"},
        {"list_rewritten", [](auto*) {}, "A9\nA2", "is not the one the lot was made with"},
        {"last_line_longer", [](auto*) {}, "A1\nA23\n", "a list may only grow by lines added at its end"},
        {"last_raised", [](auto* f) { (*f)[0].last = 2999; }, nullptr, nullptr},
        {"last_removed", [](auto* f) { (*f)[0].last.reset(); }, nullptr, nullptr},
        {"lines_added", [](auto*) {}, "A1\nA2\nA3\n", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(path);
        field_spec code;
        code.name = "code", code.kind = FIELD_LIST, code.encoding = FIELD_TEXT, code.width = 4, code.address = 16;
        code.list = list;
        std::ofstream(list, std::ios::binary) << made_list;
        fields = {counter(1000, 1, 1999), code};
        next(*open());  // made, and 1000 handed out
        r.change(&fields);
        if (r.list)
            std::ofstream(list, std::ios::binary | std::ios::trunc) << r.list;
        std::string before = text_of(path), error;
        serial_state state(path, "");
        EXPECT_EQ(state.open(fields, FAILED_BURN, &error), r.refused == nullptr) << error;
        if (r.refused) {
            EXPECT_THAT(error, HasSubstr(r.refused));
            EXPECT_EQ(text_of(path), before) << "nothing written";
            continue;
        }
        EXPECT_THAT(text_of(path).substr(before.size()), HasSubstr(R"({"rec":"fields","fields":[)"));
        EXPECT_THAT(state.notices(), testing::Contains(HasSubstr("; recorded")));
        EXPECT_EQ(next(state), "1001");
    }
}

// A file of the older format, without fields, is bound at its first open.
TEST_F(serials, an_older_state_file_is_bound_to_the_job_that_opens_it)
{
    std::ofstream(path, std::ios::binary)
        << "{\"zelflash_serials\":1}\n" R"({"rec":"reserved","ticket":4,"values":{"serial":"1003"}})" "\n";
    auto state = open();
    EXPECT_THAT(state->notices(), testing::Contains(HasSubstr("an older state file, now bound to the job's fields")));
    EXPECT_EQ(next(*state), "1004");
    fields[0].start = 1;
    state.reset();
    serial_state other(path, "");
    std::string error;
    EXPECT_FALSE(other.open(fields, FAILED_BURN, &error));
    EXPECT_THAT(error, HasSubstr("start/step 1/1 in the job, 1000/1 in the state file"));
}

// The board log as witness: a value of the lot on a board that the state
// file never handed out refuses it; what is not the lot's is no witness.
TEST_F(serials, a_value_the_board_log_shows_and_the_file_never_handed_out_refuses_it)
{
    const std::string log = (dir / "boards.jsonl").string();
    const std::string first = R"({"port":"a","values":{"serial":"1000"}})" "\n";
    struct row {
        const char* log;  // after a first record showing 1000, which the file handed out
        const char* refused;
    };
    const row rows[] = {
        {R"({"port":"b","values":{"serial":"1001"}})" "\n", "boards.jsonl:2 shows serial 1001 on a board, but "},
        {R"({"port":"b","values":{"serial":"1001")", "boards.jsonl:2 shows serial 1001"},  // cut short
        {R"({"port":"b","values":{"serial":"999"}})" "\n", nullptr},          // below the counter's start
        {R"({"port":"b","values":{"serial":"BAT-7"}})" "\n", nullptr},        // not a number: another lot's
        {R"({"port":"b","values":{"batch":"1001"}})" "\n", nullptr},          // another field
        {R"({"port":"b","labels":{"values":"1001"},"values":{}})" "\n", nullptr},
    };
    for (const row& r : rows) {
        fs::remove(path);
        auto state = open();
        std::string error;
        uint64_t ticket = 0;
        next(*state, &ticket);
        ASSERT_TRUE(state->finish(ticket, true, false, &error));
        state.reset();
        std::ofstream(log, std::ios::binary | std::ios::trunc) << first << r.log;
        serial_state again(path, log);
        EXPECT_EQ(again.open(fields, FAILED_BURN, &error), r.refused == nullptr) << r.log;
        if (r.refused) {
            EXPECT_THAT(error, AllOf(HasSubstr(r.refused), HasSubstr("it is not the lot's state file")));
        }
    }
    fs::remove(path);
    std::string error;
    EXPECT_FALSE(serial_state_create(path, fields, log, &error));
    EXPECT_THAT(error, HasSubstr("boards.jsonl:1 shows serial 1000 on a board, so this lot's values have been handed "
                                 "out already"));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(serial_state_create(path, fields, "", &error)) << error;
    EXPECT_FALSE(serial_state_create(path, fields, "", &error));
    EXPECT_THAT(error, HasSubstr("already exists"));
}

// The path no longer names the file held: nothing more is handed out, and
// what the held file recorded is saved beside the path. Windows refuses to
// delete or rename a file while it is held.
TEST_F(serials, a_file_deleted_or_replaced_under_its_holder_hands_out_nothing_more)
{
#ifdef _WIN32
    constexpr bool held_file_stays = true;
#else
    constexpr bool held_file_stays = false;
#endif
    using change_fn = bool (*)(const std::string&);
    const std::pair<change_fn, const char*> rows[] = {
        {[](const std::string& p) {
             std::error_code ec;
             return fs::remove(p, ec);
         },
         "it was deleted"},
        {[](const std::string& p) {
             std::error_code ec;
             fs::rename(p, p + ".old", ec);
             return !ec;
         },
         "it was renamed or moved away"},
        {[](const std::string& p) {
             std::error_code ec;
             fs::copy_file(p, p + ".edit", ec);
             fs::rename(p + ".edit", p, ec);  // as sed -i saves
             return !ec;
         },
         "another file took its place"},
    };
    for (const auto& [change, why] : rows) {
        auto state = open();
        EXPECT_EQ(next(*state), "1000");
        EXPECT_EQ(change(path), !held_file_stays);
        if (held_file_stays) {
            EXPECT_EQ(next(*state), "1001");
            EXPECT_EQ(state->save_if_lost(), "");
        } else {
            EXPECT_THAT(next(*state), AllOf(HasSubstr("is no longer the file this station holds: " + std::string(why)),
                                            HasSubstr("no value is handed out")));
            std::string saved = path + ".saved-" + std::to_string(file_lock_process_id());
            EXPECT_THAT(state->save_if_lost(), HasSubstr("saved as " + saved));
            EXPECT_THAT(text_of(saved), HasSubstr(R"("values":{"serial":"1000"})"));
        }
        state.reset();
        for (const fs::path& f : fs::directory_iterator(dir))
            fs::remove(f);
    }
}

// job check's view: read in place, beside a holder, nothing written, and
// nothing handed out from what was only looked at.
TEST_F(serials, the_next_values_are_read_without_touching_the_file)
{
    std::vector<field_value> values;
    std::string error;
    serial_state missing(path, "");
    EXPECT_FALSE(missing.look(fields, FAILED_BURN, &error));
    EXPECT_THAT(error, HasSubstr("there is no state file here. A lot's state file is made once, on purpose: with "
                                 "zelflash job init JOB"));
    auto held = open();
    next(*held);
    std::string before = text_of(path);
    serial_state looked(path, "");
    ASSERT_TRUE(looked.look(fields, FAILED_BURN, &error)) << error;
    ASSERT_TRUE(looked.peek(&values, &error)) << error;
    EXPECT_THAT(values, ElementsAre(field_value{"serial", "1001"}));
    EXPECT_EQ(next(looked), "refused: the state file is not open");
    EXPECT_EQ(text_of(path), before);
    EXPECT_EQ(next(*held), "1001") << "the holder keeps its lock";
}

TEST_F(serials, a_list_with_a_byte_order_mark_reads_its_first_line)
{
    add_list("\xEF\xBB\xBF" "02:00:00:00:00:01\r\n02:00:00:00:00:02\r\n");
    EXPECT_EQ(next(*open()), "02:00:00:00:00:01");
    add_list("02:00:00:00:00:01\n\xEF" "02:00:00:00:00:02\n");
    fs::remove(path);
    std::string error;
    EXPECT_FALSE(serial_state_create(path, fields, "", &error));
    EXPECT_THAT(error, HasSubstr("'\\xEF02:00:00:00:00:02'")) << "a byte that is not text, escaped";
}

// The model of one simulated station: each value the test saw handed out,
// the states the file may give it, and whether it may go out again.
struct seen {
    std::set<serial_value_state> file_says;
    bool reusable = false;  // failed under FAILED_REUSE
};

struct station : serials {
    std::mt19937_64 rng;
    failed_policy policy = FAILED_BURN;
    std::unique_ptr<serial_state> state;
    std::map<std::pair<std::string, std::string>, seen> values;  // by (field, text)
    std::map<uint64_t, std::vector<field_value>> live;

    explicit station(uint64_t seed) : rng(seed)
    {
        // Some runs hand out every value there is: the list and the counter
        // are both about as long as a run.
        std::string macs;
        for (uint64_t i = 10, end = 20 + pick(20); i < end; i++)
            macs += "02:00:00:00:00:" + std::to_string(i) + "\n";
        add_list(macs);
        const char* formats[] = {"le16", "dec5", "le32"};
        uint64_t start = pick(100), step = 1 + pick(3);
        std::optional<uint64_t> last;
        if (pick(2))
            last = start + step * (5 + pick(20));
        fields.push_back(counter(start, step, last, formats[pick(3)]));
    }
    uint64_t pick(uint64_t n) { return rng() % n; }

    bool may_hand(const field_value& v)
    {
        auto it = values.find({v.name, v.text});
        return it == values.end() || (policy == FAILED_REUSE && it->second.reusable);
    }
    void reserve()
    {
        std::vector<field_value> got;
        uint64_t ticket = 0;
        std::string error;
        if (!state->reserve("b", &got, &ticket, &error)) {
            EXPECT_THAT(error, HasSubstr("has run out"));
            return;
        }
        for (const field_value& v : got) {
            EXPECT_TRUE(may_hand(v)) << v.name << " " << v.text << " handed out again";
            values[{v.name, v.text}] = {{VALUE_RESERVED}, false};
        }
        live[ticket] = got;
    }
    // A record cut short may still be whole but for its line end.
    void finish(uint64_t ticket, bool programmed, bool cut)
    {
        std::string error;
        EXPECT_EQ(state->finish(ticket, programmed, false, &error), !cut) << error;
        bool reuse = !programmed && policy == FAILED_REUSE;
        seen after{{programmed ? VALUE_USED : reuse ? VALUE_FAILED_REUSE : VALUE_FAILED}, reuse};
        if (cut)
            after.file_says.insert(VALUE_BURNED);
        for (const field_value& v : live[ticket])
            values[{v.name, v.text}] = after;
        live.erase(ticket);
    }
    // Power lost in the middle of the next record.
    void cut_write()
    {
        file_lock_set_append_cut([this](size_t size) { return pick(size); });
        if (!live.empty() && pick(2)) {
            finish(live.begin()->first, pick(2), true);
        } else {
            std::vector<field_value> next;
            uint64_t ticket = 0;
            std::string error;
            if (state->peek(&next, &error))  // failed values it takes are burned if the record got far enough
                for (const field_value& v : next)
                    if (values.count({v.name, v.text}))
                        values[{v.name, v.text}].file_says.insert(VALUE_BURNED);
            EXPECT_FALSE(state->reserve("b", &next, &ticket, &error));
        }
        file_lock_set_append_cut(nullptr);
    }
    void restart()
    {
        state.reset();
        for (auto& [ticket, held] : live)
            for (const field_value& v : held)
                values[{v.name, v.text}] = {{VALUE_BURNED}, false};
        live.clear();
        policy = pick(2) ? FAILED_REUSE : FAILED_BURN;
        state = open(policy);
    }
    // Every value handed out is in the file as the test last saw it.
    void check_file()
    {
        serial_journal journal;
        std::string error;
        ASSERT_TRUE(serial_journal_read(text_of(path), path, &journal, &error)) << error;
        for (const auto& [key, was] : values) {
            auto field = journal.values.find(key.first);
            ASSERT_NE(field, journal.values.end()) << key.first;
            auto it = field->second.find(key.second);
            ASSERT_NE(it, field->second.end()) << key.second << " not in the file";
            EXPECT_TRUE(was.file_says.count(it->second)) << key.second << " is " << it->second;
        }
    }
    void run(int steps)
    {
        restart();
        for (int i = 0; i < steps && !testing::Test::HasFailure(); i++) {
            uint64_t dice = pick(100);
            if (dice < 50)
                reserve();
            else if (dice < 85 && !live.empty())
                finish(std::next(live.begin(), static_cast<long>(pick(live.size())))->first, pick(3) != 0, false);
            else if (dice < 93)
                cut_write(), restart();
            else if (dice < 100)
                restart();  // a crash, or the end of a run, with boards unfinished
        }
        restart();
        check_file();
    }
    void TestBody() override {}
};

TEST(serials_simulation, no_value_twice_and_every_value_recorded_across_crashes_and_power_loss)
{
    for (uint64_t seed = 1; seed <= 2000; seed++) {
        station s(seed);
        s.run(20);
        ASSERT_FALSE(testing::Test::HasFailure()) << "replay with seed " << seed;
    }
}

}  // namespace
