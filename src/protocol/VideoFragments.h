#pragma once

// Cutting an encoded video frame into datagrams, and putting it together again.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/DatagramRecords.h"

namespace oskel::protocol {

inline constexpr std::size_t kVideoFragmentBytes = 441;
inline constexpr std::size_t kMaxVideoDatagramBytes = 512;
inline constexpr std::size_t kMaxEncodedFrameBytes = 65535; // the width of TotalLen

// The "video" datagrams of one encoded frame: every fragment but the last carries 441
// bytes, the last has LastFrag 1. Empty for an empty frame or one over 65,535 bytes
// (TotalLen could not describe it).
std::vector<std::vector<std::uint8_t>> fragmentVideoFrame(std::string_view callId, std::int32_t frameNo,
                                                          std::uint16_t width, std::uint16_t height,
                                                          std::span<const std::uint8_t> frame);

// Puts frames together from their fragments. A fragment is taken only when it
// continues the current frame (same FrameNo, next FragNo); a gap drops the rest of that
// frame and the next frame starts clean with its fragment 1. FrameNo 0 carries a whole
// frame and leaves the current one alone. Nothing is ever written past TotalLen.
class VideoReassembler {
public:
    enum class Result {
        Incomplete, // taken, the frame needs more fragments
        Complete,   // frame() holds a whole frame
        Dropped,    // not taken
    };

    Result accept(const TVideoRecord& record, std::span<const std::uint8_t> fragment);

    // The last completed frame; valid until the next accept().
    std::span<const std::uint8_t> frame() const { return complete_; }

private:
    void abandon();

    std::vector<std::uint8_t> buffer_;
    std::span<const std::uint8_t> complete_;
    std::vector<std::uint8_t> whole_; // frames that came in one datagram
    std::int32_t CurFrameNo = 0;
    std::uint8_t LastFragNo = 0;
    std::size_t FrameFill = 0;
    bool assembling_ = false;
};

} // namespace oskel::protocol
