#pragma once

// Time stamps on the wire are local time written "yyyy-MM-dd HH:mm:ss"; birthdays are
// "yyyy-MM-dd". Parsing never throws: text that does not parse gives nullopt and the
// caller shows it as it came.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace oskel::protocol {

struct DateTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;   // 0..23
    int minute = 0; // 0..59
    int second = 0; // 0..59

    bool operator==(const DateTime&) const = default;

    static DateTime fromLocalTime(std::time_t t);
    static DateTime now();
};

std::string formatTimeStamp(const DateTime& t); // yyyy-MM-dd HH:mm:ss
std::string formatDate(const DateTime& t);      // yyyy-MM-dd

// Accepts blanks around the text and one- or two-digit fields after the year; the
// seconds may be left out. Checks every range, the day against its month included.
std::optional<DateTime> parseTimeStamp(std::string_view text);
std::optional<DateTime> parseDate(std::string_view text);

} // namespace oskel::protocol
