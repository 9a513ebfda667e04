#include "report.h"

#include <cinttypes>
#include <cstdio>

#include "simloop.h"

std::string report_quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

static std::string ms(int64_t us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(us) / 1000.0);
    return text;
}

static std::string number(int64_t v)
{
    return std::to_string(v);
}

static std::string field(const char* name, const std::string& value)
{
    return std::string("\"") + name + "\": " + value;
}

static std::string command_line(const simloop* t, const command_record& r)
{
    std::string s = "    {";
    s += field("name", report_quote(r.name)) + ", ";
    s += field("param1", number(r.param1)) + ", ";
    s += field("param2", number(r.param2)) + ", ";
    s += field("data_length", number(r.data_length)) + ", ";
    s += field("time_ms", ms(r.time_us - t->start_us)) + ", ";
    s += field("answered", r.reply_sent ? "true" : "false") + ", ";
    s += field("outcome", report_quote(device_outcome_name(r.outcome)));
    if (!r.fault.empty())
        s += ", " + field("fault", report_quote(r.fault));
    s += ", " + field("frame", number(r.frame));
    return s + "}";
}

static std::string record_text(const std::array<uint8_t, DEVICE_TIME_RECORD>& b)
{
    std::string s = "[";
    for (size_t i = 0; i < b.size(); ++i)
        s += (i ? ", " : "") + number(b[i]);
    return s + "]";
}

static std::string rtc_line(const simloop* t, const rtc_setting& r, const char* indent = "    ")
{
    char when[32];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + r.first[0], r.first[1], r.first[2],
                  r.first[3], r.first[4], r.first[5]);
    std::string s = std::string(indent) + "{";
    s += field("time", report_quote(when)) + ", ";
    s += field("record", record_text(r.first)) + ", ";
    s += field("second_record", record_text(r.second)) + ", ";
    s += field("records_equal", r.first == r.second ? "true" : "false") + ", ";
    s += field("time_ms", ms(r.time_us - t->start_us));
    return s + "}";
}

// One item a line; the closing bracket indented as the list's field is.
template <typename T, typename F>
static std::string list(const T& items, F line_of, const char* indent = "  ")
{
    if (items.empty())
        return "[]";
    std::string s = "[\n";
    for (size_t i = 0; i < items.size(); ++i)
        s += line_of(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
    return s + indent + "]";
}

// All on one line: [1, 2, 3].
template <typename T, typename F>
static std::string inline_list(const T& items, F text_of)
{
    std::string s = "[";
    for (size_t i = 0; i < items.size(); ++i)
        s += (i ? ", " : "") + text_of(items[i]);
    return s + "]";
}

static std::string line_section(const simloop* t)
{
    // Without --baud the line is instant; its wire times are then given at
    // the tool's 115200 baud, the speed a real line would run at.
    constexpr long nominal_baud = 115200;
    long baud = t->opt.baud > 0 ? t->opt.baud : nominal_baud;
    int64_t in_us = simloop_wire_us(t->bytes_in, baud);
    int64_t out_us = simloop_wire_us(t->bytes_out, baud);
    std::string s = "{";
    s += field("baud", number(t->opt.baud)) + ", ";
    s += field("wire_baud", number(baud)) + ", ";
    s += field("bytes_to_device", number(static_cast<int64_t>(t->bytes_in))) + ", ";
    s += field("bytes_from_device", number(static_cast<int64_t>(t->bytes_out))) + ", ";
    s += field("wire_ms_to_device", ms(in_us)) + ", ";
    s += field("wire_ms_from_device", ms(out_us)) + ", ";
    s += field("wire_ms_total", ms(in_us + out_us));
    return s + "}";
}

static std::string frames_section(const frame_counts& f)
{
    std::string s = "{";
    s += field("received", number(f.received)) + ", ";
    s += field("accepted", number(f.accepted)) + ", ";
    s += field("bad_check", number(f.bad_check)) + ", ";
    s += field("bad_escape", number(f.bad_escape)) + ", ";
    s += field("too_long", number(f.too_long)) + ", ";
    s += field("not_addressed", number(f.not_addressed)) + ", ";
    s += field("ignored", number(f.ignored));
    return s + "}";
}

static int64_t bad_frames(const frame_counts& f)
{
    return f.bad_check + f.bad_escape + f.too_long + f.not_addressed;
}

using outcome_counts = std::array<int64_t, DEVICE_BUSY + 1>;

static std::string not_answered_section(const outcome_counts& counts)
{
    std::string s = "{";
    for (int32_t k = DEVICE_WAITING; k <= DEVICE_BUSY; ++k)
        s += (k > DEVICE_WAITING ? ", " : "") + field(device_outcome_name(k), number(counts[static_cast<size_t>(k)]));
    return s + "}";
}

static std::string commands_not_answered(const simloop* t)
{
    outcome_counts counts{};
    for (const command_record& r : t->dev.log)
        if (r.outcome >= 0 && r.outcome <= DEVICE_BUSY)
            counts[static_cast<size_t>(r.outcome)] += 1;
    return not_answered_section(counts);
}

static std::string faults_section(const std::array<int64_t, FAULT_KINDS>& injected, int64_t muted)
{
    std::string s = "{";
    for (int32_t k = 0; k < FAULT_KINDS; ++k)
        s += field(fault_name(k), number(injected[static_cast<size_t>(k)])) + ", ";
    s += field("mute", number(muted));
    return s + "}";
}

static std::string image_section(const simloop* t, const image_check& image)
{
    if (!image.present)
        return "";
    bool match = flash_matches(&t->dev.memory, image.addr, image.bytes);
    std::string s;
    s += "  " + field("image_addr", number(image.addr)) + ",\n";
    s += "  " + field("image_length", number(static_cast<int64_t>(image.bytes.size()))) + ",\n";
    s += "  " + field("image_match", match ? "true" : "false") + ",\n";
    return s;
}

static std::string commands_by_kind(const board_record& b)
{
    static const char* const names[BOARD_COMMAND_KINDS] = {"ERASE", "PROGRAM", "RTC_SET", "RESET", "other"};
    std::string s = "{";
    for (int32_t k = 0; k < BOARD_COMMAND_KINDS; ++k)
        s += (k ? ", " : "") + field(names[k], number(b.commands[static_cast<size_t>(k)]));
    return s + "}";
}

static std::string reads_section(const simloop* t, const board_record& b)
{
    std::string s = "[";
    for (size_t i = 0; i < b.reads.size() && i < t->opt.reads.size(); ++i) {
        s += i ? ", {" : "{";
        s += field("addr", number(t->opt.reads[i].addr)) + ", ";
        s += field("length", number(t->opt.reads[i].length)) + ", ";
        s += field("hex", report_quote(b.reads[i])) + "}";
    }
    return s + "]";
}

// One board, a field a line.
static std::string board_text(const simloop* t, const board_record& b)
{
    const std::string in = "      ";
    auto since_start = [t](int64_t us) { return ms(us - t->start_us); };
    std::string s = "    {\n";
    s += in + field("board", number(b.number)) + ",\n";
    s += in + field("seated_ms", since_start(b.seated_us)) + ",\n";
    s += in + field("removed_ms", b.removed_us < 0 ? "null" : since_start(b.removed_us)) + ",\n";
    s += in + field("after_reset", report_quote(b.back_to_loader ? "loader" : "app")) + ",\n";
    s += in + field("bad_frames", number(bad_frames(b.frames))) + ",\n";
    s += in + field("frames", frames_section(b.frames)) + ",\n";
    s += in + field("app_frames", number(b.app_frames)) + ",\n";
    s += in + field("replies_sent", number(b.replies.sent)) + ",\n";
    s += in + field("commands", commands_by_kind(b)) + ",\n";
    s += in + field("not_answered", not_answered_section(b.outcomes)) + ",\n";
    s += in + field("faults", faults_section(b.faults, b.replies.muted)) + ",\n";
    s += in + field("resets", number(static_cast<int64_t>(b.resets_us.size()))) + ",\n";
    s += in + field("reset_ms", inline_list(b.resets_us, since_start)) + ",\n";
    if (b.image_match >= 0)
        s += in + field("image_match", b.image_match ? "true" : "false") + ",\n";
    if (!b.reads.empty())
        s += in + field("reads", reads_section(t, b)) + ",\n";
    auto rtc = [t](const rtc_setting& r) { return rtc_line(t, r, "        "); };
    s += in + field("rtc", list(b.clock_settings, rtc, "      ")) + "\n";
    return s + "    }";
}

static std::string fixture_section(const options& opt)
{
    const fixture_plan& p = opt.plan;
    std::string s = "{";
    s += field("present_ms", ms(p.present_us)) + ", ";
    s += field("absent_ms", ms(p.absent_us)) + ", ";
    s += field("boards", number(p.boards)) + ", ";
    s += field("after_reset", report_quote(fixture_after_reset_name(p.after_reset))) + ", ";
    s += field("loader_boards", inline_list(p.loader_boards, [](int32_t n) { return number(n); })) + ", ";
    s += field("loader_return_ms", ms(p.loader_return_us));
    return s + "}";
}

// With --fixture: the line and the schedule, then each board in arrival order.
static std::string fixture_report(const simloop* t, const image_check& image)
{
    std::string s = "{\n";
    s += "  " + field("framing", report_quote(t->endpoint.framing == PACKET_TAGGED ? "tagged" : "plain")) + ",\n";
    s += "  " + field("device_tag", number(t->endpoint.tag)) + ",\n";
    s += "  " + field("seed", std::to_string(t->opt.seed)) + ",\n";
    s += "  " + field("end", report_quote(simloop_end_name(t->end))) + ",\n";
    s += "  " + field("total_ms", ms(t->end_us - t->start_us)) + ",\n";
    s += "  " + field("line", line_section(t)) + ",\n";
    s += "  " + field("fixture", fixture_section(t->opt)) + ",\n";
    s += "  " + field("frames_while_empty", number(t->slot.frames_while_empty)) + ",\n";
    if (image.present) {
        s += "  " + field("image_addr", number(image.addr)) + ",\n";
        s += "  " + field("image_length", number(static_cast<int64_t>(image.bytes.size()))) + ",\n";
    }
    s += "  " + field("boards", list(t->slot.boards, [t](const board_record& b) { return board_text(t, b); })) + "\n";
    return s + "}\n";
}

std::string report_json(const simloop* t, const image_check& image)
{
    if (t->opt.fixture)
        return fixture_report(t, image);
    std::string s = "{\n";
    s += "  " + field("framing", report_quote(t->endpoint.framing == PACKET_TAGGED ? "tagged" : "plain")) + ",\n";
    s += "  " + field("device_tag", number(t->endpoint.tag)) + ",\n";
    s += "  " + field("seed", std::to_string(t->opt.seed)) + ",\n";
    s += "  " + field("end", report_quote(simloop_end_name(t->end))) + ",\n";
    s += "  " + field("total_ms", ms(t->end_us - t->start_us)) + ",\n";
    s += "  " + field("line", line_section(t)) + ",\n";
    s += "  " + field("bad_frames", number(bad_frames(t->frames))) + ",\n";
    s += "  " + field("frames", frames_section(t->frames)) + ",\n";
    s += "  " + field("replies_sent", number(t->replies.sent)) + ",\n";
    s += "  " + field("not_answered", commands_not_answered(t)) + ",\n";
    s += "  " + field("faults", faults_section(t->inject.injected, t->replies.muted)) + ",\n";
    s += "  " + field("resets", number(t->dev.resets)) + ",\n";
    s += image_section(t, image);
    s += "  " + field("rtc", list(t->dev.clock_settings, [t](const rtc_setting& r) { return rtc_line(t, r); })) + ",\n";
    s += "  " + field("commands", list(t->dev.log, [t](const command_record& r) { return command_line(t, r); })) + "\n";
    return s + "}\n";
}
