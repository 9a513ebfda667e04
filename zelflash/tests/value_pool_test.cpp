// The pool alone: which value goes out next, from the lot's fields and the
// states on record, with no file under it.
#include "values/value_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

using testing::ElementsAre;

field_spec counter(uint64_t start, uint64_t step, std::optional<uint64_t> last, const char* format)
{
    field_spec f;
    f.name = "serial";
    std::string error;
    EXPECT_TRUE(field_format_parse(format, &f.encoding, &f.width, &error)) << error;
    f.start = start, f.step = step, f.last = last;
    return f;
}

value_field list_of(std::vector<std::string> lines)
{
    value_field f;
    f.def.name = "mac", f.def.kind = FIELD_LIST, f.def.encoding = FIELD_BYTES, f.def.width = 2;
    f.def.list = "macs.txt";
    f.lines = std::move(lines);
    return f;
}

value_field counted(field_spec def)
{
    return value_field{std::move(def), {}, {}};
}

// The first field's value for the next board, taken under `ticket`; or
// the error when there is none.
std::string take(value_pool* pool, uint64_t ticket)
{
    std::vector<field_value> values;
    std::string error;
    if (!pool->next(&values, &error))
        return error;
    pool->take(ticket, values);
    return values[0].text;
}

std::vector<std::string> take_all(value_pool* pool, int boards)
{
    std::vector<std::string> got;
    for (int i = 0; i < boards; i++)
        got.push_back(take(pool, 100 + i));
    return got;
}

struct boundary {
    const char* name;
    value_field field;
    value_states seen;
    std::vector<std::string> handed;  // then the next is refused
    const char* run_out;
};

TEST(value_pool, a_field_hands_out_its_range_once_then_says_it_has_run_out)
{
    const std::string counter_out = "field 'serial' has run out: its last value ";
    const boundary rows[] = {
        {"last", counted(counter(1, 2, 6, "le32")), {}, {"1", "3", "5"}, "5 is handed out; give it a new range"},
        {"last_on_a_step", counted(counter(1, 2, 5, "le32")), {}, {"1", "3", "5"}, "5 is handed out"},
        {"width", counted(counter(254, 1, {}, "le8")), {}, {"254", "255"}, "255 (the most le8 holds) is handed"},
        {"decimal_width", counted(counter(90, 4, {}, "dec2")), {}, {"90", "94", "98"}, "98 (the most dec2 holds)"},
        {"above_the_highest_seen", counted(counter(10, 5, 40, "le16")),
         {{"serial", {{"25", VALUE_USED}, {"15", VALUE_BURNED}}}}, {"30", "35", "40"}, "40 is handed out"},
        {"64_bits", counted(counter(UINT64_MAX - 1, 1, {}, "le64")), {},
         {"18446744073709551614", "18446744073709551615"}, "18446744073709551615 (the most le64 holds)"},
        {"64_bits_seen", counted(counter(UINT64_MAX - 5, 5, {}, "le64")),
         {{"serial", {{"18446744073709551615", VALUE_USED}}}}, {}, "18446744073709551615 (the most le64 holds)"},
        {"list_end", list_of({"02:01", "02:02", "02:03"}), {}, {"02:01", "02:02", "02:03"},
         "field 'mac' has run out: all 3 values of macs.txt are handed out; add new ones to the list"},
        {"list_seen_in_any_spelling", list_of({"02:01", "02-02", "0203"}),
         {{"mac", {{"0202", VALUE_FAILED}, {"02 01", VALUE_RESERVED}}}}, {"0203"}, "all 3 values"},
    };
    for (const boundary& r : rows) {
        SCOPED_TRACE(r.name);
        value_pool pool({r.field}, r.seen, FAILED_REUSE);
        uint64_t ticket = 1;
        for (const std::string& value : r.handed)
            EXPECT_EQ(take(&pool, ticket++), value);
        EXPECT_THAT(take(&pool, 200), testing::HasSubstr(r.run_out));
        EXPECT_THAT(take(&pool, 201), testing::HasSubstr(r.run_out)) << "and stays out";
    }
}

// Failed values seen FAILED_REUSE go out first under FAILED_REUSE, a
// counter's lowest first, while the field still takes them; this run's in
// the order their boards failed.
TEST(value_pool, failed_values_go_out_again_only_under_reuse_and_in_order)
{
    const value_states seen = {{"serial",
                                {{"1005", VALUE_FAILED_REUSE},
                                 {"998", VALUE_FAILED_REUSE},
                                 {"1003", VALUE_FAILED},
                                 {"1004", VALUE_BURNED}}}};
    value_pool reuse({counted(counter(990, 1, 1009, "le16"))}, seen, FAILED_REUSE);
    EXPECT_THAT(take_all(&reuse, 3), ElementsAre("998", "1005", "1006"));
    value_pool burn({counted(counter(990, 1, 1009, "le16"))}, seen, FAILED_BURN);
    EXPECT_THAT(take_all(&burn, 1), ElementsAre("1006"));

    value_pool run({counted(counter(1, 1, {}, "le16"))}, {}, FAILED_REUSE);
    EXPECT_THAT(take_all(&run, 4), ElementsAre("1", "2", "3", "4"));
    run.finish(101, END_REUSE);
    run.finish(100, END_REUSE);
    run.finish(102, END_BURN_HELD);
    run.finish(103, END_USED);
    EXPECT_FALSE(run.holds(100));
    std::vector<std::string> next;
    for (uint64_t ticket = 7; ticket < 10; ticket++)
        next.push_back(take(&run, ticket));
    EXPECT_THAT(next, ElementsAre("2", "1", "5"));

    value_pool list({list_of({"02:01", "02:02", "02:03"})},
                    {{"mac", {{"02:02", VALUE_FAILED_REUSE}, {"zz", VALUE_FAILED_REUSE}}}}, FAILED_REUSE);
    EXPECT_THAT(take_all(&list, 3), ElementsAre("02:02", "02:01", "02:03")) << "a value it cannot write is left";
}

TEST(value_pool, a_board_end_follows_the_policy_and_what_its_flash_may_hold)
{
    struct row {
        failed_policy policy;
        bool programmed, may_hold;
        value_end end;
    };
    const row rows[] = {
        {FAILED_BURN, true, false, END_USED},      {FAILED_BURN, true, true, END_USED},
        {FAILED_REUSE, true, true, END_USED},      {FAILED_BURN, false, false, END_BURN},
        {FAILED_BURN, false, true, END_BURN},      {FAILED_REUSE, false, false, END_REUSE},
        {FAILED_REUSE, false, true, END_BURN_HELD},
    };
    for (const row& r : rows)
        EXPECT_EQ(value_end_of(r.policy, r.programmed, r.may_hold), r.end)
            << r.policy << " " << r.programmed << " " << r.may_hold;
}

TEST(value_pool, a_witness_may_show_only_what_a_field_could_hand_out)
{
    field_spec batch;
    batch.name = "batch", batch.kind = FIELD_VALUE, batch.encoding = FIELD_TEXT, batch.width = 4, batch.value = "B7";
    value_pool pool({counted(counter(10, 5, 40, "dec3")), list_of({"02:01", "02:02"}), counted(batch)}, {},
                    FAILED_BURN);
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"serial", "10", true},  {"serial", "40", true},  {"serial", "0x0F", true},   {"serial", "45", false},
        {"serial", "5", false},  {"serial", "12", false}, {"serial", "BAT", false},   {"mac", "02-02", true},
        {"mac", "0203", false},  {"mac", "02", false},    {"batch", "B7", false},     {"other", "10", false},
    };
    for (const auto& [name, text, could] : rows)
        EXPECT_EQ(pool.could_hand(name, text), could) << name << " " << text;
}

TEST(value_pool, a_value_field_gives_its_value_to_every_board)
{
    field_spec batch;
    batch.name = "batch", batch.kind = FIELD_VALUE, batch.encoding = FIELD_TEXT, batch.width = 4, batch.value = "B7";
    value_pool pool({counted(counter(1, 1, 2, "le8")), counted(batch)}, {}, FAILED_BURN);
    std::vector<field_value> values;
    std::string error;
    ASSERT_TRUE(pool.next(&values, &error));
    EXPECT_THAT(values, ElementsAre(field_value{"serial", "1"}, field_value{"batch", "B7"}));
    pool.take(1, values);
    ASSERT_TRUE(pool.next(&values, &error));
    EXPECT_THAT(values, ElementsAre(field_value{"serial", "2"}, field_value{"batch", "B7"}));
}

TEST(value_pool_death, taking_anything_but_the_next_values_is_a_programming_error)
{
    value_pool pool({counted(counter(1, 1, {}, "le8"))}, {}, FAILED_BURN);
    EXPECT_DEATH(pool.take(1, {field_value{"serial", "2"}}), "expected == text");
    EXPECT_DEATH(pool.finish(9, END_USED), "it != live_.end\\(\\)");
}

// One simulated lot: a store keeping each value's latest state as a value
// source records it, a pool opened anew from those states now and then
// (the store's next run), and the model: which values are on a board or
// burned (never to go out again), and which were ever handed out.
struct simulated_lot {
    std::mt19937_64 rng;
    std::vector<value_field> fields;
    value_states states;
    failed_policy policy = FAILED_BURN;
    value_pool pool;
    std::map<uint64_t, std::vector<field_value>> live;  // reserved in this run, not ended
    std::set<std::string> taken;                         // "field:bytes" that may not go out
    std::set<std::string> ever;                          // "field:bytes" handed out at least once
    std::set<std::string> run_out;                       // the fields found run out, each checked once
    uint64_t next_ticket = 1;
    std::set<std::string> list_keys;  // "mac:bytes" of each line of the list

    explicit simulated_lot(uint64_t seed) : rng(seed)
    {
        const char* formats[] = {"le8", "le16", "dec2", "dec3", "hex2"};
        field_spec serial = counter(pick(40), 1 + pick(4), {}, formats[pick(5)]);
        uint64_t limit = field_counter_limit(serial);
        if (pick(3) != 0)
            serial.last = std::min(limit, serial.start + serial.step * pick(30));
        fields.push_back(counted(serial));
        std::vector<std::string> lines;
        for (uint64_t i = 0, n = 1 + pick(30); i < n; i++)
            lines.push_back("02:" + std::string(i < 10 ? "0" : "") + std::to_string(i));
        if (pick(4) != 0)
            fields.push_back(list_of(lines));
        for (const std::string& line : lines)
            list_keys.insert(key(list_of({}).def, line));
        field_spec batch;
        batch.name = "batch", batch.kind = FIELD_VALUE, batch.encoding = FIELD_TEXT, batch.value = "B7";
        if (pick(2) != 0)
            fields.push_back(counted(batch));
    }
    uint64_t pick(uint64_t n) { return rng() % n; }
    std::string key(const field_spec& def, const std::string& text) { return def.name + ":" + value_key(def, text); }

    bool in_range(const value_field& f, const std::string& text)
    {
        if (f.def.kind == FIELD_VALUE)
            return text == f.def.value;
        if (f.def.kind == FIELD_LIST)
            return list_keys.count(key(f.def, text)) != 0;
        std::optional<uint64_t> n = field_parse_number(text);
        return n && *n >= f.def.start && *n <= field_counter_limit(f.def) && (*n - f.def.start) % f.def.step == 0;
    }
    // A field runs out only once every value it has was handed out.
    void check_run_out(const std::string& error)
    {
        for (const value_field& f : fields) {
            if (error.find("field '" + f.def.name + "' has run out") != 0)
                continue;
            if (!run_out.insert(f.def.name).second)
                return;  // what was handed out only grows
            std::vector<std::string> all = f.lines;
            for (uint64_t n = f.def.start; f.def.kind == FIELD_COUNTER && n <= field_counter_limit(f.def);
                 n += f.def.step)
                all.push_back(std::to_string(n));
            for (const std::string& text : all)
                EXPECT_TRUE(ever.count(key(f.def, text))) << f.def.name << " " << text << " never went out";
            return;
        }
        ADD_FAILURE() << "no field named in: " << error;
    }
    void reserve()
    {
        std::vector<field_value> values;
        std::string error;
        if (!pool.next(&values, &error))
            return check_run_out(error);
        ASSERT_EQ(values.size(), fields.size());
        for (size_t i = 0; i < fields.size(); i++) {
            const field_spec& def = fields[i].def;
            EXPECT_TRUE(in_range(fields[i], values[i].text)) << def.name << " " << values[i].text << " out of range";
            if (def.kind == FIELD_VALUE)
                continue;
            EXPECT_TRUE(taken.insert(key(def, values[i].text)).second) << def.name << " " << values[i].text << " twice";
            EXPECT_TRUE(ever.insert(key(def, values[i].text)).second || policy == FAILED_REUSE)
                << def.name << " " << values[i].text << " failed, and went out again under FAILED_BURN";
            states[def.name][values[i].text] = VALUE_RESERVED;
        }
        pool.take(next_ticket, values);
        live[next_ticket++] = values;
    }
    void finish()
    {
        auto board = std::next(live.begin(), static_cast<long>(pick(live.size())));
        bool programmed = pick(2) != 0, may_hold = pick(2) != 0;
        bool free = !programmed && !may_hold && policy == FAILED_REUSE;  // on no board, and reuse asked
        serial_value_state state = programmed ? VALUE_USED : free ? VALUE_FAILED_REUSE : VALUE_FAILED;
        for (size_t i = 0; i < fields.size(); i++) {
            if (fields[i].def.kind == FIELD_VALUE)
                continue;
            states[fields[i].def.name][board->second[i].text] = state;
            if (free)
                taken.erase(key(fields[i].def, board->second[i].text));
        }
        pool.finish(board->first, value_end_of(policy, programmed, may_hold));
        live.erase(board);
    }
    // The store's next run: what was left reserved is burned, or not yet.
    void reopen()
    {
        bool burn = pick(2) != 0;
        for (const auto& [ticket, values] : live)
            for (size_t i = 0; i < fields.size() && burn; i++)
                if (fields[i].def.kind != FIELD_VALUE)
                    states[fields[i].def.name][values[i].text] = VALUE_BURNED;
        live.clear();
        policy = pick(2) ? FAILED_REUSE : FAILED_BURN;
        pool = value_pool(fields, states, policy);
    }
    void run(int steps)
    {
        reopen();
        for (int i = 0; i < steps && !testing::Test::HasFailure(); i++) {
            uint64_t dice = pick(100);
            if (dice < 55)
                reserve();
            else if (dice < 90 && !live.empty())
                finish();
            else if (dice >= 90)
                reopen();
        }
    }
};

TEST(value_pool_simulation, no_value_goes_out_twice_and_every_value_is_in_its_range)
{
    for (uint64_t seed = 1; seed <= 3000; seed++) {
        simulated_lot lot(seed);
        lot.run(80);
        ASSERT_FALSE(testing::Test::HasFailure()) << "replay with seed " << seed;
    }
}

}  // namespace
