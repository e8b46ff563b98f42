#include <gtest/gtest.h>

#include "protocol/TimeStamp.h"

using namespace oskel::protocol;

TEST(TimeStamp, formats_and_parses_back)
{
    const DateTime t{2026, 2, 3, 4, 5, 6};
    EXPECT_EQ(formatTimeStamp(t), "2026-02-03 04:05:06");
    EXPECT_EQ(formatDate(t), "2026-02-03");
    EXPECT_EQ(parseTimeStamp("2026-02-03 04:05:06"), t);
    EXPECT_EQ(parseDate("2026-02-03"), (DateTime{2026, 2, 3, 0, 0, 0}));
    const DateTime now = DateTime::now();
    EXPECT_EQ(parseTimeStamp(formatTimeStamp(now)), now);
    EXPECT_EQ(formatTimeStamp(now).size(), 19u);
}

TEST(TimeStamp, tolerant_parsing_reports_failure)
{
    struct Case {
        const char* text;
        bool ok;
    };
    const Case stamps[] = {
        {" 2026-2-3 4:05 ", true},     // blanks around, short fields, no seconds
        {"2024-02-29 23:59:59", true}, // leap day
        {"2000-02-29 00:00:00", true},
        {"1900-02-29 00:00:00", false}, // not a leap year
        {"2026-02-29 10:00:00", false},
        {"2026-13-01 10:00:00", false},
        {"2026-00-10 10:00:00", false},
        {"2026-04-31 10:00:00", false},
        {"2026-04-30 24:00:00", false},
        {"2026-04-30 10:60:00", false},
        {"2026-04-30 10:00:60", false},
        {"2026-04-30 10:00:", false},
        {"2026-04-30T10:00:00", false},
        {"11.12.2026 10:00:00", false}, // another locale's form
        {"2026-04-30 10:00:00 x", false},
        {"", false},
        {"garbage", false},
        {"99999-01-01 00:00:00", false},
    };
    for (const auto& c : stamps)
        EXPECT_EQ(parseTimeStamp(c.text).has_value(), c.ok) << '"' << c.text << '"';

    EXPECT_TRUE(parseDate("1990-4-1"));
    EXPECT_FALSE(parseDate("1990-04-01 10:00:00"));
    EXPECT_FALSE(parseDate("01/04/1990"));
    EXPECT_FALSE(parseDate(""));
}
