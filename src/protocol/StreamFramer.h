#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/MessageLimits.h"
#include "protocol/MsgHeader.h"

namespace oskel::protocol {

// One complete message. The views point into the framer or into the bytes just fed,
// and are valid only during the callback that receives the frame.
struct Frame {
    Command command = Command::Unknown;
    TMsgHeader header;
    std::span<const std::uint8_t> body;  // the body record as read (its rule's size)
    std::string_view text1;              // chat text; member list; user directory
    std::string_view text2;              // multchat text; online list
    std::span<const std::uint8_t> bytes; // header, body and texts as they came
};

// Turns the bytes of one TCP stream into complete messages, in order, for one side.
// Every length is checked against the side's limits before it is used; a violation
// stops the framer for good and the caller closes the connection. Unknown commands
// with a small body are skipped. The framer only ever holds the unfinished part of one
// message, so its memory is bounded by the largest message the side accepts.
class StreamFramer {
public:
    explicit StreamFramer(ReaderSide side) : side_(side) {}

    // Consumes `data`, calling onFrame(const Frame&) for each complete message.
    // Returns false on a violation (see error()). The callback must not call feed().
    template <class OnFrame> bool feed(std::span<const std::uint8_t> data, OnFrame&& onFrame);

    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }
    // Bytes held for the message being completed.
    std::size_t bufferedBytes() const { return pending_.size(); }
    // Unknown commands skipped so far.
    std::uint64_t skippedMessages() const { return skipped_; }

private:
    enum class Step { NeedMore, Complete, Skipped, Error };
    Step parse(std::span<const std::uint8_t> avail, Frame& frame, std::size_t& consumed, std::size_t& needed);
    Step fail(std::string message);
    void releasePending();

    ReaderSide side_;
    std::vector<std::uint8_t> pending_;
    std::size_t needed_ = 0; // bytes pending_ must reach before the next parse
    std::size_t skip_ = 0;   // body bytes of a skipped message still to discard
    std::uint64_t skipped_ = 0;
    bool failed_ = false;
    std::string error_;
};

template <class OnFrame> bool StreamFramer::feed(std::span<const std::uint8_t> data, OnFrame&& onFrame)
{
    Frame frame;
    std::size_t consumed = 0;
    std::size_t needed = 0;
    for (;;) {
        if (failed_)
            return false;
        if (skip_ > 0) {
            const std::size_t n = skip_ < data.size() ? skip_ : data.size();
            data = data.subspan(n);
            skip_ -= n;
            if (skip_ > 0)
                return true;
        }
        if (pending_.empty()) {
            if (data.empty())
                return true;
            switch (parse(data, frame, consumed, needed)) {
            case Step::Complete:
                onFrame(static_cast<const Frame&>(frame));
                data = data.subspan(consumed);
                break;
            case Step::Skipped:
                data = data.subspan(consumed);
                break;
            case Step::NeedMore:
                pending_.assign(data.begin(), data.end());
                needed_ = needed;
                return true;
            case Step::Error:
                return false;
            }
        } else {
            const std::size_t want = needed_ - pending_.size();
            const std::size_t take = want < data.size() ? want : data.size();
            pending_.insert(pending_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
            data = data.subspan(take);
            if (pending_.size() < needed_)
                return true;
            switch (parse(pending_, frame, consumed, needed)) {
            case Step::Complete:
                onFrame(static_cast<const Frame&>(frame));
                releasePending();
                break;
            case Step::Skipped:
                releasePending();
                break;
            case Step::NeedMore:
                needed_ = needed;
                break;
            case Step::Error:
                return false;
            }
        }
    }
}

} // namespace oskel::protocol
