#include <gtest/gtest.h>

#include <cstring>

#include "protocol/Datagram.h"
#include "protocol/MsgHeader.h"

using namespace oskel::protocol;

namespace {
std::vector<std::uint8_t> withHeader(std::string_view name, std::int32_t length, std::size_t bodySize)
{
    TMsgHeader h;
    h.NameLength = static_cast<std::uint8_t>(name.size());
    std::memcpy(h.Name.data(), name.data(), name.size());
    h.Length = length;
    const auto a = h.encode();
    std::vector<std::uint8_t> out(a.begin(), a.end());
    out.resize(out.size() + bodySize, 0);
    return out;
}
} // namespace

TEST(Datagram, sizes_and_header_lengths_of_what_we_send)
{
    TCServerRecord probe;
    probe.ServerAddr = "10.0.0.5";
    const auto cserver = buildCServerDatagram(probe);
    EXPECT_EQ(cserver.size(), 85u);
    EXPECT_EQ(TMsgHeader::decode(std::span(cserver).first<16>()).Length, 69);

    TAVInviteRecord invite;
    invite.setStage(AVStage::avsConfirmed);
    const auto av = buildAVInviteDatagram(invite);
    EXPECT_EQ(av.size(), 275u);
    EXPECT_EQ(TMsgHeader::decode(std::span(av).first<16>()).Length, 259);

    const std::vector<std::uint8_t> speech(60, 7);
    const auto audio = buildAudioDatagram("{call}", speech);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->size(), 119u);
    EXPECT_EQ(TMsgHeader::decode(std::span(*audio).first<16>()).Length, 59);
    EXPECT_FALSE(buildAudioDatagram("{call}", std::vector<std::uint8_t>(65536)));
}

TEST(Datagram, parses_each_kind_back)
{
    TAVInviteRecord invite;
    invite.CallID = "{C}";
    invite.FromID = "alice";
    invite.ToID = "bob";
    invite.IsVideo = true;
    invite.setStage(AVStage::avsInvite);
    const auto parsed = parseDatagram(buildAVInviteDatagram(invite));
    ASSERT_TRUE(parsed);
    const auto* av = std::get_if<AVInviteDatagram>(&*parsed);
    ASSERT_TRUE(av);
    EXPECT_EQ(av->record.FromID, "alice");
    EXPECT_EQ(av->record.stage(), AVStage::avsInvite);
    EXPECT_TRUE(av->record.IsVideo);

    const std::vector<std::uint8_t> speech = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto audioBytes = *buildAudioDatagram("{C}", speech);
    audioBytes.push_back(0xEE); // trailing bytes beyond PayloadLen are not payload
    const auto audio = parseDatagram(audioBytes);
    ASSERT_TRUE(audio);
    const auto& a = std::get<AudioDatagram>(*audio);
    EXPECT_EQ(std::vector<std::uint8_t>(a.payload.begin(), a.payload.end()), speech);

    TCServerRecord probe;
    probe.ServerAddr = "10.1.2.3";
    probe.SeenIP = "192.0.2.1";
    probe.SeenPort = "65535";
    const auto cs = parseDatagram(buildCServerDatagram(probe));
    ASSERT_TRUE(cs);
    EXPECT_EQ(std::get<CServerDatagram>(*cs).record.SeenPort, "65535");
}

TEST(Datagram, drops_short_unknown_and_overstated_datagrams)
{
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    auto audioClaiming = [](std::uint16_t claimed, std::size_t held) {
        auto d = withHeader("audio", 59, 43 + held);
        d[16 + 41] = static_cast<std::uint8_t>(claimed);
        d[16 + 42] = static_cast<std::uint8_t>(claimed >> 8);
        return d;
    };
    auto videoClaiming = [](std::uint16_t claimed, std::size_t held) {
        auto d = withHeader("video", 59, 55 + held);
        d[16 + 51] = static_cast<std::uint8_t>(claimed);
        d[16 + 52] = static_cast<std::uint8_t>(claimed >> 8);
        return d;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"15 bytes", std::vector<std::uint8_t>(15, 0)},
        {"cserver one byte short", withHeader("cserver", 69, 68)},
        {"avinvite one byte short", withHeader("avinvite", 259, 258)},
        {"audio one byte short", withHeader("audio", 59, 42)},
        {"video one byte short", withHeader("video", 59, 54)},
        {"unknown name", withHeader("voice", 59, 200)},
        {"wrong case", withHeader("Audio", 59, 200)},
        {"name length beyond 11", withHeader("audio", 59, 200)},
        {"audio payload overstated", audioClaiming(60, 59)},
        {"video chunk overstated", videoClaiming(441, 440)},
    };
    for (const auto& c : cases) {
        auto bytes = c.bytes;
        if (std::string_view(c.what) == "name length beyond 11")
            bytes[0] = 12;
        EXPECT_FALSE(parseDatagram(bytes)) << c.what;
    }
    // The header's length field is never read: an "avinvite" claiming 0 still parses.
    EXPECT_TRUE(parseDatagram(withHeader("avinvite", 0, 259)));
    EXPECT_TRUE(parseDatagram(audioClaiming(60, 60)));
    EXPECT_TRUE(parseDatagram(videoClaiming(441, 441)));
}
