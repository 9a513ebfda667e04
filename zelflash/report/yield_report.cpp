#include "report/yield_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

#include "engine/board_end.h"
#include "run.h"
#include "base/texts.h"

using nlohmann::json;

bool report_grouping_parse(std::string_view text, report_grouping* out, std::string* error)
{
    constexpr std::string_view label = "label:";
    if (text == "image") {
        *out = report_grouping{REPORT_BY_IMAGE, ""};
        return true;
    }
    if (text.substr(0, label.size()) == label && text.size() > label.size()) {
        *out = report_grouping{REPORT_BY_LABEL, std::string(text.substr(label.size()))};
        return true;
    }
    *error = "--by " + std::string(text) + ": give image (by image and its digest) or label:NAME (by a label's "
             "value, e.g. label:lot)";
    return false;
}

// ---- reading -------------------------------------------------------------

namespace {

bool blank_byte(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

report_reader::report_reader(std::string file, report_data* out) : file_(std::move(file)), out_(out)
{
    out_->files.push_back(file_);
}

void report_reader::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        size_t end = bytes.find('\n');
        take(bytes.substr(0, end));
        if (end == std::string_view::npos)
            return;
        line_done(true);
        bytes.remove_prefix(end + 1);
    }
}

void report_reader::finish()
{
    if (length_ > 0)
        line_done(false);
}

void report_reader::take(std::string_view piece)
{
    length_ += piece.size();
    if (!nonblank_)
        nonblank_ = !std::all_of(piece.begin(), piece.end(), blank_byte);
    line_.append(piece.substr(0, REPORT_MAX_LINE - std::min<size_t>(line_.size(), REPORT_MAX_LINE)));
}

void report_reader::line_done(bool ended)
{
    ++number_;
    if (!nonblank_)
        ++out_->blank;
    else
        sort_line(ended);
    line_.clear();
    length_ = 0;
    nonblank_ = false;
}

void report_reader::sort_line(bool ended)
{
    ++out_->lines;
    std::string why;
    if (!ended) {
        ++out_->incomplete;
        why = "incomplete last line";
    } else if (length_ > REPORT_MAX_LINE) {
        why = "longer than " + std::to_string(REPORT_MAX_LINE) + " bytes";
    } else if (report_record_parse(line_, &record_, &why, out_->board_key)) {
        if (record_.note)
            report_note(out_, *record_.note);
        else
            report_fold(out_, record_);
        return;
    }
    ++out_->rejected;
    if (out_->rejections.size() < REPORT_KEPT_REJECTIONS)
        out_->rejections.push_back({file_, number_, why});
}

void report_read_text(std::string_view text, const std::string& file, report_data* out)
{
    report_reader lines(file, out);
    lines.feed(text);
    lines.finish();
}

static bool read_file(const std::string& path, report_data* out, std::string* error)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        *error = path + ": cannot open the board log: " + std::strerror(errno) + "; check the name and the rights";
        return false;
    }
    report_reader lines(path, out);
    std::vector<char> chunk(64 * 1024);
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0)
        lines.feed(std::string_view(chunk.data(), n));
    if (std::ferror(file.get())) {
        *error = path + ": cannot read the board log: " + std::strerror(errno) + "; is it a regular file?";
        return false;
    }
    lines.finish();
    return true;
}

bool report_read(const std::vector<std::string>& paths, report_data* out, std::string* error)
{
    for (const std::string& path : paths)
        if (!read_file(path, out, error))
            return false;
    return true;
}

// ---- figures -------------------------------------------------------------

// A record's outcome is known by its key where it has one; a record without
// one (1.1.0's), or with a key this version does not know, by its text.
static bool programmed(const report_record& r)
{
    std::optional<board_end> end = board_end_from_key(r.outcome_key);
    if (end)
        return board_programmed(*end);
    return r.outcome == run_outcome_text(run_outcome::programmed) ||
           r.outcome == run_outcome_text(run_outcome::unconfirmed);
}

// A failure is counted under its text: the key's where it is known, so that
// a reworded text counts with the old one.
static std::string failure_text(const report_record& r)
{
    std::optional<board_end> end = board_end_from_key(r.outcome_key);
    return end ? board_end_text(*end) : r.outcome;
}

static void add_link(report_link* sum, const report_link& l)
{
    sum->frames += l.frames;
    sum->resends += l.resends;
    sum->late_replies += l.late_replies;
    sum->bad_frames += l.bad_frames;
    sum->quiet_waits += l.quiet_waits;
    sum->unasked_acks += l.unasked_acks;
}

// The histogram's bin width: the smallest of 1, 2, 2.5 and 5 times a power
// of ten from 0.01 s on that takes the slowest time into REPORT_TIME_BINS
// bins.
// The powers of ten are made by multiplying, whose rounding is the same
// everywhere (a library's pow() is not: 10 to the -2 need not be 0.01), so
// every platform draws the same bins.
static double ten_to(int power)
{
    double v = 1;
    for (int i = 0; i < power; ++i)
        v *= 10;
    return v;
}

static double bin_width(double slowest)
{
    constexpr double steps[] = {1, 2, 2.5, 5};
    for (int power = -2; power <= 308; ++power)
        for (double step : steps) {
            double width = power < 0 ? step / ten_to(-power) : step * ten_to(power);
            if (std::isfinite(width) && slowest / width < static_cast<double>(REPORT_TIME_BINS))
                return width;
        }
    return slowest;  // beyond any power of ten a double holds: one bin
}

static void histogram_of(const std::vector<double>& sorted, report_histogram* out)
{
    if (sorted.empty())
        return;
    double width = bin_width(sorted.back());
    size_t bins = std::min<size_t>(static_cast<size_t>(sorted.back() / width) + 1, REPORT_TIME_BINS);
    out->bin_seconds = width;
    out->counts.assign(bins, 0);
    for (double s : sorted)
        ++out->counts[std::min(static_cast<size_t>(s / width), bins - 1)];
}

static void time_figures(std::vector<double> seconds, report_summary* s)
{
    if (seconds.empty())
        return;
    std::sort(seconds.begin(), seconds.end());
    size_t half = seconds.size() / 2;
    double upper = seconds[half];
    s->median_seconds = seconds.size() % 2 ? upper : seconds[half - 1] + (upper - seconds[half - 1]) / 2;
    s->slowest_seconds = seconds.back();
    histogram_of(seconds, &s->times);
}

// `count` of `of` against the others' `count_o` of `of_o`: at least
// REPORT_MARK_FACTOR times their rate and `points` percentage points above
// it. Compared crosswise, with no division, so that a rate exactly at the
// rule's edge is judged alike everywhere.
static bool far_above(uint64_t count, uint64_t of, uint64_t count_o, uint64_t of_o, uint32_t points)
{
    if (of == 0 || of_o == 0)
        return false;
    long double mine = static_cast<long double>(count) * of_o;
    long double theirs = static_cast<long double>(count_o) * of;
    return mine >= static_cast<long double>(REPORT_MARK_FACTOR) * theirs &&
           (mine - theirs) * 100 >= static_cast<long double>(points) * of * of_o;
}

static void mark_ports(std::vector<report_port>* ports)
{
    report_port all;
    for (const report_port& p : *ports) {
        all.boards += p.boards;
        all.failed += p.failed;
        add_link(&all.link, p.link);
    }
    for (report_port& p : *ports) {
        if (p.boards < REPORT_MARK_MIN_BOARDS)
            continue;
        p.many_failures = far_above(p.failed, p.boards, all.failed - p.failed, all.boards - p.boards,
                                    REPORT_MARK_FAILURE_POINTS);
        p.many_resends = far_above(p.link.resends, p.link.frames, all.link.resends - p.link.resends,
                                   all.link.frames - p.link.frames, REPORT_MARK_RESEND_POINTS);
    }
}

// ---- folding --------------------------------------------------------------

// Records of one image go together when their digests agree (report_group).
static const std::string& digest_of(const report_record& r)
{
    return r.file_sha256.empty() ? r.image_sha256 : r.file_sha256;
}

// The cell of a record: its image, digest and labels, each part preceded by
// its length, so that no two cells share a key whatever bytes they hold.
static uint32_t cell_index(report_data* d, const report_record& r)
{
    thread_local std::string key;
    key.clear();
    auto put = [](const std::string& part) {
        uint64_t size = part.size();
        key.append(reinterpret_cast<const char*>(&size), sizeof size);
        key += part;
    };
    put(r.image);
    put(digest_of(r));
    for (const auto& [name, value] : r.labels) {
        put(name);
        put(value);
    }
    auto [it, fresh] = d->cell_of.try_emplace(key, static_cast<uint32_t>(d->cells.size()));
    if (fresh) {
        report_cell c;
        c.image = r.image;
        c.digest = digest_of(r);
        c.labels = r.labels;
        d->cells.push_back(std::move(c));
    }
    return it->second;
}

// The name a record's board is known by in d->boards (report_summary), a
// letter for its kind first, so that a value given to one board and the
// serial number of another's adapter never meet. Empty: a board of its own.
static std::string_view board_name(const report_record& r, std::string* room)
{
    if (!r.board_value.empty())
        return room->assign(1, 'v').append(r.board_value);
    if (r.slot || r.serial.empty())
        return {};
    return room->assign(1, 's').append(r.serial);
}

// The record becomes its board's first unless one that started no later
// was: records come in the order read, so of equal starts the first stays.
static void note_board(report_data* d, const report_record& r, std::string_view name, uint32_t cell, bool good)
{
    size_t odd = d->odd_starts.size();
    uint64_t start = report_start_key(d, r.start);
    bool added = false;
    report_board* b = d->boards.find_or_add(name, &added);
    if (added || report_start_less(*d, start, b->start)) {
        b->start = start;
        b->cell = cell;
        b->passed = good;
    } else if (d->odd_starts.size() > odd) {
        d->odd_starts.pop_back();  // its start is not kept
    }
}

static void count_hour(report_cell* c, std::string_view start, bool good)
{
    std::optional<uint64_t> hour = report_hour_of(start);
    if (!hour) {
        ++c->undated;
        return;
    }
    report_hour& h = c->hours[*hour];
    h.hour = *hour;
    ++h.boards;
    h.programmed += good ? 1 : 0;
}

void report_fold(report_data* d, const report_record& r)
{
    ++d->accepted;
    uint32_t index = cell_index(d, r);
    report_cell& c = d->cells[index];
    bool good = programmed(r);
    ++c.boards;
    report_port& p = c.ports[r.port];
    if (p.boards++ == 0)
        p.port = r.port;
    add_link(&p.link, r.link);
    if (good) {
        ++c.programmed;
        c.seconds.push_back(r.seconds);
    } else {
        ++c.failures[failure_text(r)];
        ++p.failed;
    }
    d->slotted += r.slot ? 1 : 0;
    count_hour(&c, r.start, good);
    thread_local std::string room;
    std::string_view name = board_name(r, &room);
    if (!name.empty()) {
        note_board(d, r, name, index, good);
        return;
    }
    ++c.lone_boards;
    c.lone_first_pass += good ? 1 : 0;
}

void report_note(report_data* d, const std::string& kind)
{
    ++d->notes;
    ++d->note_kinds[kind];
}

enum start_form : uint64_t {
    START_ODD = uint64_t{1} << 63,  // the key is an index into odd_starts
};
constexpr std::string_view START_FORM = "dddd-dd-ddTdd:dd:dd.dddZ";

uint64_t report_start_key(report_data* d, const std::string& start)
{
    uint64_t digits = 0;
    bool plain = start.size() == START_FORM.size();
    for (size_t i = 0; plain && i < start.size(); ++i) {
        bool is_digit = start[i] >= '0' && start[i] <= '9';
        plain = START_FORM[i] == 'd' ? is_digit : start[i] == START_FORM[i];
        digits = is_digit ? digits * 10 + static_cast<uint64_t>(start[i] - '0') : digits;
    }
    if (plain)
        return digits;
    d->odd_starts.push_back(start);
    return START_ODD | (d->odd_starts.size() - 1);
}

static std::string start_text(const report_data& d, uint64_t key)
{
    if ((key & START_ODD) != 0)
        return d.odd_starts[key & ~START_ODD];
    std::string text(START_FORM);
    for (size_t i = text.size(); i-- > 0;) {
        if (text[i] == 'd') {
            text[i] = static_cast<char>('0' + key % 10);
            key /= 10;
        }
    }
    return text;
}

bool report_start_less(const report_data& d, uint64_t a, uint64_t b)
{
    if (((a | b) & START_ODD) == 0)
        return a < b;
    return start_text(d, a) < start_text(d, b);
}

// ---- hours -----------------------------------------------------------------

namespace {

constexpr std::string_view HOUR_FORM = "dddd-dd-ddTdd";

// Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2 ? 1 : 0;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t year_of_era = y - era * 400;
    int64_t day_of_year = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

int64_t hours_since_1970(uint64_t hour)
{
    auto part = [hour](uint64_t scale, uint64_t span) { return static_cast<int64_t>(hour / scale % span); };
    return days_from_civil(part(1000000, 10000), part(10000, 100), part(100, 100)) * 24 + part(1, 100);
}

}  // namespace

std::optional<uint64_t> report_hour_of(std::string_view start)
{
    if (start.size() < HOUR_FORM.size() || start.back() != 'Z')
        return std::nullopt;
    uint64_t digits = 0;
    for (size_t i = 0; i < HOUR_FORM.size(); ++i) {
        bool is_digit = start[i] >= '0' && start[i] <= '9';
        if (HOUR_FORM[i] == 'd' ? !is_digit : start[i] != HOUR_FORM[i])
            return std::nullopt;
        digits = is_digit ? digits * 10 + static_cast<uint64_t>(start[i] - '0') : digits;
    }
    uint64_t month = digits / 10000 % 100, day = digits / 100 % 100, hour = digits % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23)
        return std::nullopt;
    return digits;
}

std::string report_hour_text(uint64_t hour)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:00:00Z", static_cast<unsigned>(hour / 1000000 % 10000),
                  static_cast<unsigned>(hour / 10000 % 100), static_cast<unsigned>(hour / 100 % 100),
                  static_cast<unsigned>(hour % 100));
    return text;
}

int64_t report_hours_between(uint64_t from, uint64_t to)
{
    return hours_since_1970(to) - hours_since_1970(from);
}

// ---- figures ---------------------------------------------------------------

namespace {


// A group's figures as its cells are added, and the times of its
// programmed records until the median is taken.
struct group_sum {
    report_summary s;
    std::vector<double> seconds;
    std::map<std::string, report_port> ports;
    std::map<uint64_t, report_hour> hours;
};

void add_cell(group_sum* g, const report_cell& c)
{
    g->s.boards += c.boards;
    g->s.programmed += c.programmed;
    g->s.failed += c.boards - c.programmed;
    for (const auto& [outcome, n] : c.failures)
        g->s.failures[outcome] += n;
    g->s.distinct_boards += c.lone_boards;
    g->s.first_pass += c.lone_first_pass;
    g->seconds.insert(g->seconds.end(), c.seconds.begin(), c.seconds.end());
    for (const auto& [name, p] : c.ports) {
        report_port& sum = g->ports[name];
        sum.port = name;
        sum.boards += p.boards;
        sum.failed += p.failed;
        add_link(&sum.link, p.link);
    }
    for (const auto& [key, h] : c.hours) {
        report_hour& sum = g->hours[key];
        sum.hour = key;
        sum.boards += h.boards;
        sum.programmed += h.programmed;
    }
    g->s.undated += c.undated;
}

void add_board(group_sum* g, const report_board& b)
{
    ++g->s.distinct_boards;
    g->s.first_pass += b.passed ? 1 : 0;
}

report_summary summary_of(group_sum* g)
{
    time_figures(std::move(g->seconds), &g->s);
    for (auto& [name, p] : g->ports)
        g->s.ports.push_back(std::move(p));
    for (const auto& [key, h] : g->hours)
        g->s.hours.push_back(h);
    mark_ports(&g->s.ports);
    return std::move(g->s);
}

// Groups sort by this: an image and its digest, or a label's value with the
// records lacking the label last.
using group_key = std::tuple<bool, std::string, std::string>;

group_key key_of(const report_cell& c, const report_grouping& g)
{
    if (g.by == REPORT_BY_IMAGE)
        return {false, c.image, c.digest};
    auto it = c.labels.find(g.label);
    return it == c.labels.end() ? group_key{true, "", ""} : group_key{false, it->second, ""};
}

report_group group_of(const group_key& key, const report_grouping& grouping)
{
    report_group g;
    const auto& [missing, name, digest] = key;
    if (grouping.by == REPORT_BY_IMAGE) {
        g.image = name;
        g.sha256 = digest;
    } else if (!missing) {
        g.value = name;
    }
    return g;
}

}  // namespace

// A board counts in the group of its first record's cell.
report_tally report_tally_up(const report_data& data, const report_grouping& grouping)
{
    group_sum total;
    std::map<group_key, group_sum> groups;
    std::vector<group_sum*> group_of_cell(data.cells.size(), nullptr);
    for (size_t i = 0; i < data.cells.size(); ++i) {
        add_cell(&total, data.cells[i]);
        if (grouping.by != REPORT_BY_NONE) {
            group_of_cell[i] = &groups[key_of(data.cells[i], grouping)];
            add_cell(group_of_cell[i], data.cells[i]);
        }
    }
    data.boards.for_each([&](const report_board& b) {
        add_board(&total, b);
        if (group_of_cell[b.cell] != nullptr)
            add_board(group_of_cell[b.cell], b);
    });
    report_tally t;
    for (auto& [key, sum] : groups) {
        t.groups.push_back(group_of(key, grouping));
        t.groups.back().summary = summary_of(&sum);
    }
    t.total = summary_of(&total);
    return t;
}

// ---- JSON ----------------------------------------------------------------

static json port_json(const report_port& p)
{
    json marks = json::array();
    if (p.many_failures)
        marks.push_back("failures");
    if (p.many_resends)
        marks.push_back("resends");
    return {{"port", p.port},
            {"boards", p.boards},
            {"failed", p.failed},
            {"frames", p.link.frames},
            {"resends", p.link.resends},
            {"late_replies", p.link.late_replies},
            {"bad_frames", p.link.bad_frames},
            {"quiet_waits", p.link.quiet_waits},
            {"unasked_acks", p.link.unasked_acks},
            {"marks", marks}};
}

static json or_null(const std::optional<double>& v)
{
    return v ? json(*v) : json(nullptr);
}

static json hours_json(const std::vector<report_hour>& hours)
{
    json out = json::array();
    for (const report_hour& h : hours)
        out.push_back({{"hour", report_hour_text(h.hour)}, {"boards", h.boards}, {"programmed", h.programmed}});
    return out;
}

static json summary_json(const report_summary& s)
{
    json ports = json::array();
    for (const report_port& p : s.ports)
        ports.push_back(port_json(p));
    std::optional<double> yield;
    if (s.distinct_boards > 0)
        yield = static_cast<double>(s.first_pass) / static_cast<double>(s.distinct_boards);
    json histogram = {{"bin_seconds", or_null(s.times.bin_seconds)}, {"counts", s.times.counts}};
    return {{"boards", s.boards},
            {"programmed", s.programmed},
            {"failed", s.failed},
            {"failures", s.failures},
            {"first_pass", {{"boards", s.distinct_boards}, {"programmed", s.first_pass}, {"yield", or_null(yield)}}},
            {"seconds",
             {{"median", or_null(s.median_seconds)}, {"slowest", or_null(s.slowest_seconds)}, {"histogram", histogram}}},
            {"per_hour", {{"hours", hours_json(s.hours)}, {"undated", s.undated}}},
            {"ports", ports}};
}

static json group_json(const report_group& g, const report_grouping& grouping)
{
    json j = summary_json(g.summary);
    if (grouping.by == REPORT_BY_IMAGE) {
        j["image"] = g.image;
        j["sha256"] = g.sha256;
    } else {
        j["label"] = grouping.label;
        j["value"] = g.value ? json(*g.value) : json(nullptr);
    }
    return j;
}

static json lines_json(const report_data& d)
{
    json rejections = json::array();
    for (const report_rejection& r : d.rejections)
        rejections.push_back({{"file", r.file}, {"line", r.line}, {"reason", r.reason}});
    return {{"read", d.lines},         {"accepted", d.accepted},
            {"rejected", d.rejected},  {"incomplete_last_lines", d.incomplete},
            {"blank", d.blank},        {"notes", d.notes},
            {"rejections", rejections}};
}

// The notes by kind: an object, empty when there are none.
static json notes_json(const report_data& d)
{
    json notes = json::object();
    for (const auto& [kind, n] : d.note_kinds)
        notes[kind] = n;
    return notes;
}

nlohmann::json report_json(const report_data& data, const report_grouping& grouping)
{
    report_tally t = report_tally_up(data, grouping);
    json groups = json::array();
    for (const report_group& g : t.groups)
        groups.push_back(group_json(g, grouping));
    json by = nullptr;
    if (grouping.by == REPORT_BY_IMAGE)
        by = "image";
    else if (grouping.by == REPORT_BY_LABEL)
        by = "label:" + grouping.label;
    return {{"files", data.files}, {"lines", lines_json(data)}, {"notes", notes_json(data)},
            {"by", by},              {"groups", groups},          {"total", summary_json(t.total)}};
}

// ---- text ----------------------------------------------------------------

namespace {

// Names and labels come from the logs, where any byte may stand: control
// characters (C0, DEL, C1) and bytes that are not UTF-8 become '?', so the
// table carries no terminal codes. `width` gets the characters shown.
std::string printable(std::string_view s, size_t* width)
{
    std::string out;
    *width = 0;
    for (size_t i = 0; i < s.size(); ++(*width)) {
        auto byte = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
        unsigned lead = byte(0);
        size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        bool whole = n > 0;
        for (size_t k = 1; k < n; ++k)
            whole = whole && (byte(k) & 0xC0) == 0x80;
        bool control = lead < 0x20 || lead == 0x7F || (lead == 0xC2 && byte(1) < 0xA0);
        if (!whole || control) {
            out += '?';
            i += whole ? n : 1;
            continue;
        }
        out.append(s.substr(i, n));
        i += n;
    }
    return out;
}

std::string shown(std::string_view s)
{
    size_t width;
    return printable(s, &width);
}

// Rows of cells as columns two spaces apart; `align` has 'r' for each
// right-aligned column, anything else for left. No trailing spaces.
std::string table(const std::vector<std::vector<std::string>>& rows, std::string_view align,
                  const std::string& indent)
{
    std::vector<std::vector<std::pair<std::string, size_t>>> cells;
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        cells.emplace_back();
        for (size_t c = 0; c < row.size(); ++c) {
            size_t w;
            cells.back().emplace_back(printable(row[c], &w), w);
            widths.resize(std::max(widths.size(), c + 1));
            widths[c] = std::max(widths[c], w);
        }
    }
    std::string out;
    for (const auto& row : cells) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c) {
            std::string pad(widths[c] - row[c].second, ' ');
            bool right = c < align.size() && align[c] == 'r';
            line += (c ? "  " : "") + (right ? pad + row[c].first : row[c].first + pad);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string number_text(const char* format, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string seconds_text(double s)
{
    return number_text(s < 1e12 ? "%.2f s" : "%.3g s", s);
}

std::string percent(uint64_t n, uint64_t whole)
{
    return whole ? number_text("%.1f%%", 100.0 * static_cast<double>(n) / static_cast<double>(whole)) : "-";
}

std::string summary_text(const report_summary& s)
{
    using std::to_string;
    std::vector<std::vector<std::string>> rows = {
        {"Boards (records)", to_string(s.boards)},
        {"Programmed", to_string(s.programmed), percent(s.programmed, s.boards)},
        {"Failed", to_string(s.failed), percent(s.failed, s.boards)},
    };
    for (const auto& [outcome, n] : s.failures)
        rows.push_back({"  " + outcome, to_string(n), percent(n, s.boards)});
    rows.push_back({"First-pass yield", to_string(s.first_pass), percent(s.first_pass, s.distinct_boards),
                    "of " + counted(s.distinct_boards, "board", "boards")});
    rows.push_back({"Median time", s.median_seconds ? seconds_text(*s.median_seconds) : "-"});
    rows.push_back({"Slowest time", s.slowest_seconds ? seconds_text(*s.slowest_seconds) : "-"});
    return table(rows, "lrr", "  ");
}

std::string ports_text(const std::vector<report_port>& ports)
{
    using std::to_string;
    std::vector<std::vector<std::string>> rows = {
        {"Port", "Boards", "Failed", "Frames", "Resends", "Late", "Bad frames", "Quiet waits", "Unasked ACKs", ""}};
    for (const report_port& p : ports) {
        std::string marks = p.many_failures && p.many_resends ? "<< failures, resends"
                            : p.many_failures                 ? "<< failures"
                            : p.many_resends                  ? "<< resends"
                                                              : "";
        const report_link& l = p.link;
        rows.push_back({p.port, to_string(p.boards), to_string(p.failed), to_string(l.frames), to_string(l.resends),
                        to_string(l.late_replies), to_string(l.bad_frames), to_string(l.quiet_waits),
                        to_string(l.unasked_acks), marks});
    }
    return table(rows, "lrrrrrrrrl", "  ");
}

std::string lines_text(const report_data& d)
{
    std::string out = "Board logs:";
    for (const std::string& f : d.files)
        out += " " + shown(f);
    out += "\n" + counted(d.lines, "line", "lines") + " read: " + counted(d.accepted, "record", "records") +
           (d.notes ? ", " + counted(d.notes, "note", "notes") : "") + ", " + std::to_string(d.rejected) +
           " rejected";
    if (d.incomplete)
        out += " (" + counted(d.incomplete, "incomplete last line", "incomplete last lines") + ")";
    out += "; " + counted(d.blank, "blank line", "blank lines") + " not counted\n";
    std::vector<std::vector<std::string>> rows;
    for (const report_rejection& r : d.rejections)
        rows.push_back({r.file + ":" + std::to_string(r.line) + ":", r.reason});
    out += table(rows, "", "  ");
    if (d.rejected > d.rejections.size())
        out += "  and " + std::to_string(d.rejected - d.rejections.size()) + " more\n";
    return out;
}

std::string group_title(const report_group& g, const report_grouping& grouping)
{
    if (grouping.by == REPORT_BY_IMAGE)
        return "Image " + shown(g.image) + " (sha256 " + shown(g.sha256.substr(0, 12)) + ")";
    return "Label " + shown(grouping.label) + ": " + (g.value ? shown(*g.value) : "(none)");
}

// The note kinds this version knows, in words for one note and for many.
struct note_words {
    std::string_view kind;
    std::string_view one, many;
};
constexpr note_words known_notes[] = {
    {"still_in_loader", "board still in the loader after its restart (its image may not start)",
     "boards still in the loader after their restart (their image may not start)"},
};

// The notes of the total, by kind: those this version knows first, in the
// table's order, then the others by their key. Nothing when there are none.
std::string notes_text(const report_data& d)
{
    std::vector<std::string> parts;
    for (const note_words& w : known_notes) {
        auto it = d.note_kinds.find(std::string(w.kind));
        if (it != d.note_kinds.end())
            parts.push_back(counted(it->second, w.one, w.many));
    }
    for (const auto& [kind, n] : d.note_kinds) {
        auto known = std::find_if(std::begin(known_notes), std::end(known_notes),
                                  [&kind = kind](const note_words& w) { return w.kind == kind; });
        if (known == std::end(known_notes))
            parts.push_back(counted(n, "note", "notes") + " '" + shown(kind) + "'");
    }
    std::string out;
    for (const std::string& part : parts)
        out += (out.empty() ? "  Notes: " : "; ") + part;
    return out.empty() ? out : out + "\n";
}

// How boards are known, as report_summary says: the text of logs without
// slots read without a board key, as it has always been, or the rule that
// a board key or slots make.
std::string first_pass_legend(const report_data& d)
{
    std::string intro = "First-pass yield: boards programmed at their first record, of all boards. A board is known by\n";
    if (!d.board_key.empty())
        return intro + "  its value \"" + shown(d.board_key) +
               "\" (of the values given to it); a record without one by its adapter's USB\n"
               "  serial number, and a record of a fixture's slot or without a serial number is a board of its\n"
               "  own. A board's first record is the one that started first.\n";
    if (d.slotted > 0)
        return intro + "  its adapter's USB serial number; a record of a fixture's slot (whose adapter stays while\n"
                       "  boards come and go) or without a serial number is a board of its own. A board's first\n"
                       "  record is the one that started first.\n";
    return intro + "  its adapter's USB serial number; a record without one is a board of its own. A board's first\n"
                   "  record is the one that started first.\n";
}

std::string lines_legend(const report_data& d)
{
    if (d.notes == 0)
        return "Lines: every line that is not blank is a record or rejected; a last line without its line end\n"
               "  is still being written and is rejected.\n";
    return "Lines: every line that is not blank is a record, a note or rejected; a last line without its\n"
           "  line end is still being written and is rejected. A note is what a station noticed about a\n"
           "  fixture's slot, counted by its kind.\n";
}

}  // namespace

std::string report_legend(const report_data& d)
{
    using std::to_string;
    std::string factor = to_string(REPORT_MARK_FACTOR);
    return std::string("Programmed: the outcome \"") + run_outcome_text(run_outcome::programmed) + "\" or \"" +
           run_outcome_text(run_outcome::unconfirmed) +
           "\";\n"
           "  any other outcome is a failure, counted by its text.\n" +
           first_pass_legend(d) +
           "Median and slowest time: of the programmed records.\n"
           "<< marks a port with at least " +
           to_string(REPORT_MARK_MIN_BOARDS) + " boards whose failure rate (failed per board) is at least " +
           factor + " times\n  that of all other ports together and " + to_string(REPORT_MARK_FAILURE_POINTS) +
           " points above it, or whose resend rate (resends per\n  frame) is at least " + factor +
           " times theirs and " + to_string(REPORT_MARK_RESEND_POINTS) +
           " point above it.\n" +
           lines_legend(d);
}

std::string report_text(const report_data& data, const report_grouping& grouping)
{
    report_tally t = report_tally_up(data, grouping);
    std::string out = lines_text(data);
    for (const report_group& g : t.groups)
        out += "\n" + group_title(g, grouping) + "\n" + summary_text(g.summary) + "\n" + ports_text(g.summary.ports);
    out += "\nTotal\n" + summary_text(t.total) + notes_text(data) + "\n" + ports_text(t.total.ports);
    return out + "\n" + report_legend(data);
}
