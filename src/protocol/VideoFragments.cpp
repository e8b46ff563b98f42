#include "protocol/VideoFragments.h"

#include <algorithm>

#include "protocol/Datagram.h"

namespace oskel::protocol {

std::vector<std::vector<std::uint8_t>> fragmentVideoFrame(std::string_view callId, std::int32_t frameNo,
                                                          std::uint16_t width, std::uint16_t height,
                                                          std::span<const std::uint8_t> frame)
{
    std::vector<std::vector<std::uint8_t>> out;
    if (frame.empty() || frame.size() > kMaxEncodedFrameBytes)
        return out;
    // FragNo is one byte: 65,535 bytes make at most 149 fragments, well inside it.
    TVideoRecord record;
    record.CallID = std::string(callId);
    record.FrameNo = frameNo;
    record.Width = width;
    record.Height = height;
    record.TotalLen = static_cast<std::uint16_t>(frame.size());
    std::size_t offset = 0;
    std::uint8_t index = 1;
    while (offset < frame.size()) {
        const std::size_t chunk = std::min(kVideoFragmentBytes, frame.size() - offset);
        record.FragNo = index++;
        record.LastFrag = offset + chunk == frame.size();
        out.push_back(buildVideoDatagram(record, frame.subspan(offset, chunk)));
        offset += chunk;
    }
    return out;
}

void VideoReassembler::abandon()
{
    assembling_ = false;
    FrameFill = 0;
}

VideoReassembler::Result VideoReassembler::accept(const TVideoRecord& record, std::span<const std::uint8_t> fragment)
{
    complete_ = {};
    if (fragment.size() != record.ChunkLen)
        return Result::Dropped;

    if (record.FrameNo == 0) {
        if (fragment.empty())
            return Result::Dropped;
        whole_.assign(fragment.begin(), fragment.end());
        complete_ = whole_;
        return Result::Complete;
    }

    if (record.FragNo == 1) {
        CurFrameNo = record.FrameNo;
        LastFragNo = 1;
        if (fragment.size() > record.TotalLen || record.TotalLen == 0) {
            abandon();
            return Result::Dropped;
        }
        buffer_.assign(record.TotalLen, 0);
        std::copy(fragment.begin(), fragment.end(), buffer_.begin());
        FrameFill = fragment.size();
        assembling_ = true;
    } else {
        if (!assembling_ || record.FrameNo != CurFrameNo)
            return Result::Dropped;
        if (record.FragNo != LastFragNo + 1) {
            abandon(); // a gap: the rest of this frame is dropped with it
            return Result::Dropped;
        }
        if (record.TotalLen != buffer_.size() || fragment.size() > buffer_.size() - FrameFill) {
            abandon();
            return Result::Dropped;
        }
        std::copy(fragment.begin(), fragment.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(FrameFill));
        FrameFill += fragment.size();
        LastFragNo = record.FragNo;
    }

    if (!record.LastFrag)
        return Result::Incomplete;
    assembling_ = false;
    if (FrameFill != buffer_.size())
        return Result::Dropped; // the last fragment came but the frame is short
    complete_ = std::span<const std::uint8_t>(buffer_.data(), FrameFill);
    return Result::Complete;
}

} // namespace oskel::protocol
