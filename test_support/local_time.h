// The tests' one known local time, and a way to spell others: what the
// clock of RTC_SET gives a job under test (job_seams::clock, lprog_init).
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

// The broken-down time localtime() would give for these calendar values
// (month 1..12, the full year).
inline std::tm local_time(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

// The fixed clock: always 2026-12-08 05:06:07.
inline bool fixed_clock(std::tm* out)
{
    *out = local_time(2026, 12, 8, 5, 6, 7);
    return true;
}

// The time record RTC_SET carries for the fixed clock (sent twice), and the
// console text of that command.
inline const std::vector<uint8_t> fixed_clock_record{26, 12, 8, 5, 6, 7, 0, 0};
inline constexpr const char* fixed_clock_text = "\rSetting time to 2026-12-08 05:06:07\r";
