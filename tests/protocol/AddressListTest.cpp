#include <gtest/gtest.h>

#include "protocol/AddressList.h"

using namespace oskel::protocol;

TEST(AddressList, formats_every_address_with_the_same_port)
{
    EXPECT_EQ(formatLocalAddrs({"192.168.1.7", "10.0.0.3"}, 1974), "192.168.1.7:1974;10.0.0.3:1974;");
    EXPECT_EQ(formatLocalAddrs({}, 1974), "");
    // Only whole entries fit the 100 characters of the field.
    std::vector<std::string> many(10, "192.168.100.200"); // 21 characters an entry
    const std::string text = formatLocalAddrs(many, 1984);
    EXPECT_EQ(text.size(), 84u);
    EXPECT_EQ(text.back(), ';');
    EXPECT_EQ(parseLocalAddrs(text).size(), 4u);
}

TEST(AddressList, parses_entries_and_ignores_what_is_not_one)
{
    struct Case {
        const char* text;
        std::vector<PeerAddress> addresses;
    };
    const std::vector<Case> cases = {
        {"192.168.1.7:1974;10.0.0.3:1975;", {{"192.168.1.7", 1974}, {"10.0.0.3", 1975}}},
        {"192.168.1.7:1974;10.0.0.3:1975", {{"192.168.1.7", 1974}}}, // after the last ";" ignored
        {"", {}},
        {";;", {}},
        {"noport;1.2.3.4:;1.2.3.4:0;1.2.3.4:65536;1.2.3.4:12x;5.6.7.8:9;", {{"5.6.7.8", 9}}},
        {"1.2.3.4:80:90;", {}}, // the port is all that follows the first ":"
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseLocalAddrs(c.text), c.addresses) << c.text;
}

TEST(AddressList, turnaround_swaps_the_parties_and_keeps_the_rest)
{
    TAVInviteRecord r;
    r.CallID = "{CALL}";
    r.FromID = "alice";
    r.FromName = "Alice";
    r.ToID = "bob";
    r.ToName = "Bob";
    r.LocalAddrs = "10.0.0.1:1974;";
    r.PublicIP = "10.0.0.9";
    r.PublicPort = "1975";
    r.IsVideo = true;
    r.setStage(AVStage::avsInvite);
    turnAround(r, "bob", "Bobby");
    EXPECT_EQ(r.FromID, "bob");
    EXPECT_EQ(r.FromName, "Bobby");
    EXPECT_EQ(r.ToID, "alice");
    EXPECT_EQ(r.ToName, "Alice");
    EXPECT_EQ(r.CallID, "{CALL}");
    EXPECT_EQ(r.LocalAddrs, "10.0.0.1:1974;");
    EXPECT_EQ(r.PublicIP, "10.0.0.9");
    EXPECT_EQ(r.PublicPort, "1975");
    EXPECT_TRUE(r.IsVideo);
    EXPECT_EQ(r.stage(), AVStage::avsInvite);
}

TEST(AVStage, wire_values)
{
    EXPECT_EQ(static_cast<int>(AVStage::avsInvite), -1);
    EXPECT_EQ(static_cast<int>(AVStage::avsAccept), 0);
    EXPECT_EQ(static_cast<int>(AVStage::avsDecline), 1);
    EXPECT_EQ(static_cast<int>(AVStage::avsConfirm), 2);
    EXPECT_EQ(static_cast<int>(AVStage::avsEnd), 3);
    EXPECT_EQ(static_cast<int>(AVStage::avsOpen), 4);
    EXPECT_EQ(static_cast<int>(AVStage::avsConfirmed), 5);
}
