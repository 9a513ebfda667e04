#include "web/web_metrics.h"

#include <nlohmann/json.hpp>

#include "base/texts.h"

void web_metrics_add(web_metrics* m, const std::string& port, const std::string& outcome_key, bool ran,
                     double seconds, const web_port_link& link)
{
    ++m->boards[outcome_key];
    if (!ran)
        return;
    for (size_t i = 0; i < WEB_SECONDS_BOUNDS.size(); ++i)
        if (seconds <= WEB_SECONDS_BOUNDS[i])
            ++m->seconds_buckets[i];
    ++m->seconds_count;
    m->seconds_sum += seconds;
    web_port_link& p = m->ports[port];
    p.resends += link.resends;
    p.late_replies += link.late_replies;
}

std::string web_metrics_label(std::string_view value)
{
    // json_text is the one place that turns stray bytes into U+FFFD.
    std::string valid = nlohmann::json::parse(json_text(std::string(value))).get<std::string>();
    std::string out;
    for (char c : valid) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// A bound as its label: "10", not "10.000000".
static std::string bound(double v)
{
    return fixed(v, 0);
}

static std::string number(double v)
{
    return fixed(v, 6);
}

static void family(std::string* out, const char* name, const char* type, const char* help)
{
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

static void sample(std::string* out, const std::string& name, const std::string& label, const std::string& value,
                   const std::string& figure)
{
    *out += name;
    if (!label.empty())
        *out += "{" + label + "=\"" + web_metrics_label(value) + "\"}";
    *out += " " + figure + "\n";
}

static void seconds_histogram(std::string* out, const web_metrics& m)
{
    family(out, "zelflash_board_seconds", "histogram", "Time of each board that ran, from its start to its end.");
    for (size_t i = 0; i < WEB_SECONDS_BOUNDS.size(); ++i)
        sample(out, "zelflash_board_seconds_bucket", "le", bound(WEB_SECONDS_BOUNDS[i]),
               std::to_string(m.seconds_buckets[i]));
    sample(out, "zelflash_board_seconds_bucket", "le", "+Inf", std::to_string(m.seconds_count));
    sample(out, "zelflash_board_seconds_sum", "", "", number(m.seconds_sum));
    sample(out, "zelflash_board_seconds_count", "", "", std::to_string(m.seconds_count));
}

std::string web_metrics_text(const web_metrics& m)
{
    std::string out;
    family(&out, "zelflash_boards_total", "counter", "Boards ended, by outcome key (as the board log's outcome_key).");
    for (const auto& [outcome, n] : m.boards)
        sample(&out, "zelflash_boards_total", "outcome", outcome, std::to_string(n));
    seconds_histogram(&out, m);
    family(&out, "zelflash_resends_total", "counter", "Frames sent again, by port.");
    for (const auto& [port, p] : m.ports)
        sample(&out, "zelflash_resends_total", "port", port, std::to_string(p.resends));
    family(&out, "zelflash_late_replies_total", "counter", "Replies that came after their wait, by port.");
    for (const auto& [port, p] : m.ports)
        sample(&out, "zelflash_late_replies_total", "port", port, std::to_string(p.late_replies));
    family(&out, "zelflash_values_left", "gauge", "Values the lot has left to hand out, by field.");
    for (const auto& [field, left] : m.values_left)
        if (left)
            sample(&out, "zelflash_values_left", "field", field, std::to_string(*left));
    return out;
}
