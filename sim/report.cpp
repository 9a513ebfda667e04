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

static std::string rtc_line(const simloop* t, const rtc_setting& r)
{
    char when[32];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + r.first[0], r.first[1], r.first[2],
                  r.first[3], r.first[4], r.first[5]);
    std::string s = "    {";
    s += field("time", report_quote(when)) + ", ";
    s += field("record", record_text(r.first)) + ", ";
    s += field("second_record", record_text(r.second)) + ", ";
    s += field("records_equal", r.first == r.second ? "true" : "false") + ", ";
    s += field("time_ms", ms(r.time_us - t->start_us));
    return s + "}";
}

template <typename T, typename F>
static std::string list(const T& items, F line_of)
{
    if (items.empty())
        return "[]";
    std::string s = "[\n";
    for (size_t i = 0; i < items.size(); ++i)
        s += line_of(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
    return s + "  ]";
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

static std::string frames_section(const simloop* t)
{
    const frame_counts& f = t->frames;
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

static std::string commands_not_answered(const simloop* t)
{
    int64_t counts[DEVICE_BUSY + 1] = {};
    for (const command_record& r : t->dev.log)
        if (r.outcome >= 0 && r.outcome <= DEVICE_BUSY)
            counts[r.outcome] += 1;
    std::string s = "{";
    for (int32_t k = DEVICE_WAITING; k <= DEVICE_BUSY; ++k)
        s += (k > DEVICE_WAITING ? ", " : "") + field(device_outcome_name(k), number(counts[k]));
    return s + "}";
}

static std::string faults_section(const simloop* t)
{
    std::string s = "{";
    for (int32_t k = 0; k < FAULT_KINDS; ++k)
        s += field(fault_name(k), number(t->inject.injected[static_cast<size_t>(k)])) + ", ";
    s += field("mute", number(t->replies.muted));
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

std::string report_json(const simloop* t, const image_check& image)
{
    std::string s = "{\n";
    s += "  " + field("framing", report_quote(t->endpoint.framing == PACKET_TAGGED ? "tagged" : "plain")) + ",\n";
    s += "  " + field("device_tag", number(t->endpoint.tag)) + ",\n";
    s += "  " + field("seed", std::to_string(t->opt.seed)) + ",\n";
    s += "  " + field("end", report_quote(simloop_end_name(t->end))) + ",\n";
    s += "  " + field("total_ms", ms(t->end_us - t->start_us)) + ",\n";
    s += "  " + field("line", line_section(t)) + ",\n";
    s += "  " + field("bad_frames", number(bad_frames(t->frames))) + ",\n";
    s += "  " + field("frames", frames_section(t)) + ",\n";
    s += "  " + field("replies_sent", number(t->replies.sent)) + ",\n";
    s += "  " + field("not_answered", commands_not_answered(t)) + ",\n";
    s += "  " + field("faults", faults_section(t)) + ",\n";
    s += "  " + field("resets", number(t->dev.resets)) + ",\n";
    s += image_section(t, image);
    s += "  " + field("rtc", list(t->dev.clock_settings, [t](const rtc_setting& r) { return rtc_line(t, r); })) + ",\n";
    s += "  " + field("commands", list(t->dev.log, [t](const command_record& r) { return command_line(t, r); })) + "\n";
    return s + "}\n";
}
