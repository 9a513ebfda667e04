// A fixed local time for the tests that replace the clock of RTC_SET.
#pragma once

#include <ctime>

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
