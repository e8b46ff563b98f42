// Feeds arbitrary bytes to the stream framer of either side, once whole and once in
// chunks whose sizes come from the input, and requires both runs to give the same
// messages and the same verdict. Every frame's body is decoded as its record.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/ConversationRecords.h"
#include "protocol/DatagramRecords.h"
#include "protocol/SessionRecords.h"
#include "protocol/StreamFramer.h"

using namespace oskel::protocol;

namespace {

struct Run {
    std::vector<std::string> frames;
    bool ok = true;
    std::size_t buffered = 0;
};

void decodeBody(const Frame& f)
{
    switch (f.command) {
    case Command::Login:
        (void)TLoginRecord::decode(f.body);
        break;
    case Command::SucLog:
        (void)TLoginReply::decode(f.body);
        break;
    case Command::FailLog:
        (void)TFailLogRecord::decode(f.body);
        break;
    case Command::KikOut:
        (void)TKikOutRecord::decode(f.body);
        break;
    case Command::Status:
        (void)TStatusRecord::decode(f.body);
        break;
    case Command::Chat:
        (void)TChatRecord::decode(f.body);
        break;
    case Command::MultChat:
        (void)TMultChatRecord::decode(f.body);
        break;
    case Command::FileSend:
        (void)TFileSendRecord::decode(f.body);
        break;
    case Command::ChgPass:
        (void)TChgPassRecord::decode(f.body);
        break;
    case Command::ChgInfo:
        (void)TChgInfoRecord::decode(f.body);
        break;
    case Command::AVInvite:
        (void)TAVInviteRecord::decode(f.body);
        break;
    default:
        break;
    }
}

Run feed(ReaderSide side, const std::uint8_t* data, std::size_t size, const std::uint8_t* chunks, std::size_t nChunks)
{
    Run run;
    StreamFramer framer(side);
    const auto onFrame = [&run](const Frame& f) {
        decodeBody(f);
        if (f.bytes.size() != 16 + f.body.size() + f.text1.size() + f.text2.size())
            std::abort();
        run.frames.emplace_back(f.bytes.begin(), f.bytes.end());
    };
    std::size_t at = 0;
    std::size_t i = 0;
    while (at < size && run.ok) {
        std::size_t n = nChunks ? 1 + chunks[i++ % nChunks] : size;
        if (n > size - at)
            n = size - at;
        run.ok = framer.feed(std::span<const std::uint8_t>(data + at, n), onFrame);
        at += n;
    }
    run.buffered = framer.bufferedBytes();
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const ReaderSide side = (data[0] & 1) ? ReaderSide::Client : ReaderSide::Server;
    const std::size_t nChunks = data[1] % 8;
    if (size < 2 + nChunks)
        return 0;
    const std::uint8_t* chunks = data + 2;
    const std::uint8_t* stream = data + 2 + nChunks;
    const std::size_t streamSize = size - 2 - nChunks;

    const Run whole = feed(side, stream, streamSize, nullptr, 0);
    const Run pieces = feed(side, stream, streamSize, chunks, nChunks);
    if (whole.ok != pieces.ok || whole.frames != pieces.frames || (whole.ok && whole.buffered != pieces.buffered))
        std::abort();
    // What is held back is never more than the input.
    if (whole.buffered > streamSize)
        std::abort();
    return 0;
}
