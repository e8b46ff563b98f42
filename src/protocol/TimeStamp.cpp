#include "protocol/TimeStamp.h"

#include <cstdio>

namespace oskel::protocol {

namespace {
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text)
    {
        while (!text_.empty() && text_.front() == ' ')
            text_.remove_prefix(1);
        while (!text_.empty() && text_.back() == ' ')
            text_.remove_suffix(1);
    }
    bool number(int minDigits, int maxDigits, int& out)
    {
        int digits = 0;
        int value = 0;
        while (digits < maxDigits && !text_.empty() && text_.front() >= '0' && text_.front() <= '9') {
            value = value * 10 + (text_.front() - '0');
            text_.remove_prefix(1);
            ++digits;
        }
        out = value;
        return digits >= minDigits;
    }
    bool literal(char c)
    {
        if (text_.empty() || text_.front() != c)
            return false;
        text_.remove_prefix(1);
        return true;
    }
    bool blanks()
    {
        if (text_.empty() || text_.front() != ' ')
            return false;
        while (!text_.empty() && text_.front() == ' ')
            text_.remove_prefix(1);
        return true;
    }
    bool done() const { return text_.empty(); }

private:
    std::string_view text_;
};

int daysInMonth(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

bool scanDate(Scanner& s, DateTime& t)
{
    return s.number(4, 4, t.year) && s.literal('-') && s.number(1, 2, t.month) && s.literal('-') &&
           s.number(1, 2, t.day) && t.year >= 1 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= daysInMonth(t.year, t.month);
}
} // namespace

DateTime DateTime::fromLocalTime(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

DateTime DateTime::now()
{
    return fromLocalTime(std::time(nullptr));
}

std::string formatTimeStamp(const DateTime& t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

std::string formatDate(const DateTime& t)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
    return buf;
}

std::optional<DateTime> parseTimeStamp(std::string_view text)
{
    Scanner s(text);
    DateTime t;
    if (!scanDate(s, t) || !s.blanks() || !s.number(1, 2, t.hour) || !s.literal(':') || !s.number(1, 2, t.minute))
        return std::nullopt;
    if (s.literal(':') && !s.number(1, 2, t.second))
        return std::nullopt;
    if (!s.done() || t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    return t;
}

std::optional<DateTime> parseDate(std::string_view text)
{
    Scanner s(text);
    DateTime t;
    if (!scanDate(s, t) || !s.done())
        return std::nullopt;
    return t;
}

} // namespace oskel::protocol
