#include <gtest/gtest.h>

#include <set>

#include "protocol/GuidText.h"

using namespace oskel::protocol;

TEST(GuidText, new_guids_are_braced_upper_case_and_distinct)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string g = NewGuidText();
        ASSERT_EQ(g.size(), 38u);
        EXPECT_TRUE(isGuidText(g)) << g;
        EXPECT_EQ(g.find_first_of("abcdef"), std::string::npos) << g;
        EXPECT_EQ(g[15], '4') << g; // version 4
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(GuidText, recognises_only_the_braced_form)
{
    EXPECT_TRUE(isGuidText("{0F8A2C44-93B1-4C1E-A0D2-6B7E5F1C9D30}"));
    EXPECT_TRUE(isGuidText("{0f8a2c44-93b1-4c1e-a0d2-6b7e5f1c9d30}"));
    EXPECT_FALSE(isGuidText("0F8A2C44-93B1-4C1E-A0D2-6B7E5F1C9D30"));
    EXPECT_FALSE(isGuidText("{0F8A2C44-93B1-4C1E-A0D2-6B7E5F1C9D3G}"));
    EXPECT_FALSE(isGuidText("{0F8A2C44993B1-4C1E-A0D2-6B7E5F1C9D30}"));
    EXPECT_FALSE(isGuidText("{../../etc/passwd-xxxxxxxxxxxxxxxxxxx}"));
    EXPECT_FALSE(isGuidText(""));
}
