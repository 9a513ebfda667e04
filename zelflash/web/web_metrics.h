// The station's figures for a plant's monitoring, in the Prometheus text
// format (version 0.0.4): boards by outcome, programming time as a
// histogram, resends and late replies by port, values left per field.
// The main thread adds each board as it ends; the server formats a copy.
//
//   zelflash_boards_total{outcome="programmed"} 12        counter, by outcome key
//   zelflash_board_seconds_bucket{le="10"} 11             histogram of the boards that ran
//   zelflash_resends_total{port="/dev/ttyUSB0"} 2         counter, by port
//   zelflash_late_replies_total{port="/dev/ttyUSB0"} 0    counter, by port
//   zelflash_values_left{field="serial"} 988              gauge, where it is known
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The histogram's upper bounds, whole seconds (their labels have no
// decimals); +Inf follows them.
inline constexpr std::array<double, 10> WEB_SECONDS_BOUNDS = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};

struct web_port_link {
    uint64_t resends = 0;
    uint64_t late_replies = 0;
};

// Invariant: seconds_count == the sum of boards that ran, and each bucket
// counts the boards at or under its bound (cumulative, as the format wants).
struct web_metrics {
    std::map<std::string, uint64_t> boards;  // by outcome key
    std::array<uint64_t, WEB_SECONDS_BOUNDS.size()> seconds_buckets{};
    uint64_t seconds_count = 0;
    double seconds_sum = 0;
    std::map<std::string, web_port_link> ports;       // by port name
    std::map<std::string, std::optional<uint64_t>> values_left;  // by field; none: unknown
};

// A board ended with `outcome_key`; `ran` when it was sent anything, with
// its time and its port's figures.
void web_metrics_add(web_metrics* m, const std::string& port, const std::string& outcome_key, bool ran,
                     double seconds, const web_port_link& link);
// The text /metrics answers.
std::string web_metrics_text(const web_metrics& m);
// A label's value as the format writes it: valid UTF-8 (a byte that is not
// becomes U+FFFD), with backslash, double quote and line feed escaped.
std::string web_metrics_label(std::string_view value);
