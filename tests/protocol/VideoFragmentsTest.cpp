#include <gtest/gtest.h>

#include <numeric>

#include "protocol/Datagram.h"
#include "protocol/VideoFragments.h"

using namespace oskel::protocol;

namespace {
const std::string kCall = "{11111111-2222-4333-8444-555555555555}";

std::vector<std::uint8_t> frameOf(std::size_t size, std::uint8_t seed = 0)
{
    std::vector<std::uint8_t> f(size);
    for (std::size_t i = 0; i < size; ++i)
        f[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return f;
}

VideoDatagram parsed(const std::vector<std::uint8_t>& datagram)
{
    auto d = parseDatagram(datagram);
    EXPECT_TRUE(d);
    return std::get<VideoDatagram>(*d);
}
} // namespace

TEST(VideoFragments, datagram_sizes_and_flags)
{
    struct Case {
        std::size_t frameBytes;
        std::vector<std::size_t> datagramSizes;
    };
    const std::vector<Case> cases = {
        {882, {512, 512}}, {441, {512}}, {100, {171}}, {883, {512, 512, 72}}, {1, {72}},
    };
    for (const auto& c : cases) {
        const auto frame = frameOf(c.frameBytes);
        const auto datagrams = fragmentVideoFrame(kCall, 5, 160, 120, frame);
        ASSERT_EQ(datagrams.size(), c.datagramSizes.size()) << c.frameBytes;
        std::vector<std::uint8_t> joined;
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            EXPECT_EQ(datagrams[i].size(), c.datagramSizes[i]) << c.frameBytes << " #" << i;
            const auto d = parsed(datagrams[i]);
            EXPECT_EQ(d.record.FragNo, i + 1);
            EXPECT_EQ(d.record.LastFrag, i + 1 == datagrams.size());
            EXPECT_EQ(d.record.FrameNo, 5);
            EXPECT_EQ(d.record.TotalLen, c.frameBytes);
            EXPECT_EQ(d.record.Width, 160);
            EXPECT_EQ(d.record.Height, 120);
            joined.insert(joined.end(), d.fragment.begin(), d.fragment.end());
        }
        EXPECT_EQ(joined, frame);
    }
    EXPECT_TRUE(fragmentVideoFrame(kCall, 1, 160, 120, {}).empty());
    EXPECT_TRUE(fragmentVideoFrame(kCall, 1, 160, 120, frameOf(65536)).empty());
    EXPECT_EQ(fragmentVideoFrame(kCall, 1, 160, 120, frameOf(65535)).size(), 149u);
}

TEST(VideoReassembler, whole_frames_and_a_lost_middle_fragment)
{
    VideoReassembler r;
    const auto frame1 = frameOf(1000, 1);
    const auto frame2 = frameOf(900, 2);
    const auto d1 = fragmentVideoFrame(kCall, 1, 160, 120, frame1);
    const auto d2 = fragmentVideoFrame(kCall, 2, 160, 120, frame2);
    ASSERT_EQ(d1.size(), 3u);

    // Frame 1 loses its second fragment: the third is refused, nothing completes.
    auto f = parsed(d1[0]);
    EXPECT_EQ(r.accept(f.record, f.fragment), VideoReassembler::Result::Incomplete);
    f = parsed(d1[2]);
    EXPECT_EQ(r.accept(f.record, f.fragment), VideoReassembler::Result::Dropped);
    // A late second fragment cannot revive it either.
    f = parsed(d1[1]);
    EXPECT_EQ(r.accept(f.record, f.fragment), VideoReassembler::Result::Dropped);

    // Frame 2 starts clean.
    for (std::size_t i = 0; i < d2.size(); ++i) {
        f = parsed(d2[i]);
        const auto result = r.accept(f.record, f.fragment);
        if (i + 1 < d2.size()) {
            EXPECT_EQ(result, VideoReassembler::Result::Incomplete);
        } else {
            ASSERT_EQ(result, VideoReassembler::Result::Complete);
            EXPECT_EQ(std::vector<std::uint8_t>(r.frame().begin(), r.frame().end()), frame2);
        }
    }
}

TEST(VideoReassembler, frame_number_zero_is_whole_and_leaves_the_current_frame)
{
    VideoReassembler r;
    const auto big = frameOf(600, 3);
    const auto parts = fragmentVideoFrame(kCall, 9, 160, 120, big);
    auto f = parsed(parts[0]);
    ASSERT_EQ(r.accept(f.record, f.fragment), VideoReassembler::Result::Incomplete);

    TVideoRecord whole;
    whole.FrameNo = 0;
    const auto small = frameOf(50, 4);
    const auto wholeDatagram = buildVideoDatagram(whole, small);
    const auto wd = parsed(wholeDatagram);
    ASSERT_EQ(r.accept(wd.record, wd.fragment), VideoReassembler::Result::Complete);
    EXPECT_EQ(std::vector<std::uint8_t>(r.frame().begin(), r.frame().end()), small);

    f = parsed(parts[1]);
    ASSERT_EQ(r.accept(f.record, f.fragment), VideoReassembler::Result::Complete);
    EXPECT_EQ(std::vector<std::uint8_t>(r.frame().begin(), r.frame().end()), big);
}

TEST(VideoReassembler, refuses_fragments_reaching_past_total_length)
{
    struct Case {
        const char* what;
        std::uint16_t total;
        std::vector<std::size_t> chunks; // fragment sizes in order, last one flagged
        VideoReassembler::Result last;
    };
    const std::vector<Case> cases = {
        {"first fragment larger than the frame", 100, {441}, VideoReassembler::Result::Dropped},
        {"second fragment runs past", 500, {441, 100}, VideoReassembler::Result::Dropped},
        {"last fragment leaves the frame short", 900, {441, 100}, VideoReassembler::Result::Dropped},
        {"exact fit", 541, {441, 100}, VideoReassembler::Result::Complete},
        {"zero total", 0, {0}, VideoReassembler::Result::Dropped},
    };
    for (const auto& c : cases) {
        VideoReassembler r;
        VideoReassembler::Result result{};
        for (std::size_t i = 0; i < c.chunks.size(); ++i) {
            TVideoRecord rec;
            rec.FrameNo = 3;
            rec.FragNo = static_cast<std::uint8_t>(i + 1);
            rec.LastFrag = i + 1 == c.chunks.size();
            rec.TotalLen = c.total;
            const auto chunk = frameOf(c.chunks[i]);
            const auto datagram = buildVideoDatagram(rec, chunk);
            const auto d = parsed(datagram);
            result = r.accept(d.record, d.fragment);
        }
        EXPECT_EQ(result, c.last) << c.what;
    }
    // A fragment of another size than its ChunkLen says is refused outright.
    VideoReassembler r;
    TVideoRecord rec;
    rec.FrameNo = 1;
    rec.FragNo = 1;
    rec.LastFrag = true;
    rec.TotalLen = 10;
    rec.ChunkLen = 10;
    const auto chunk = frameOf(5);
    EXPECT_EQ(r.accept(rec, chunk), VideoReassembler::Result::Dropped);
}
