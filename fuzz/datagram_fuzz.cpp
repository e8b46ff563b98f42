// Parses arbitrary bytes as datagrams (the input split at "\xff\xfe" marks into several),
// runs video fragments through one reassembler, and checks that whatever the parser
// hands out lies inside the datagram. The text parsers that read peer input are fed the
// same bytes.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/AddressList.h"
#include "protocol/Datagram.h"
#include "protocol/PasswordCipher.h"
#include "protocol/TimeStamp.h"
#include "protocol/VideoFragments.h"

using namespace oskel::protocol;

namespace {
bool inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)parseLocalAddrs(text);
    (void)parseTimeStamp(text);
    (void)parseDate(text);
    if (const auto plain = decipherText(text); plain && encipherText(*plain) != text) {
        // Nettle accepts Base64 whose unused bits are not zero; anything else must round-trip.
        if (decipherText(encipherText(*plain)) != plain)
            std::abort();
    }

    VideoReassembler reassembler;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        const bool end = i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE);
        if (!end)
            continue;
        const std::span<const std::uint8_t> datagram(data + start, i - start);
        start = i + 2;
        const auto parsed = parseDatagram(datagram);
        if (!parsed)
            continue;
        if (const auto* audio = std::get_if<AudioDatagram>(&*parsed)) {
            if (!inside(audio->payload, datagram) || audio->payload.size() != audio->record.PayloadLen)
                std::abort();
        } else if (const auto* video = std::get_if<VideoDatagram>(&*parsed)) {
            if (!inside(video->fragment, datagram) || video->fragment.size() != video->record.ChunkLen)
                std::abort();
            if (reassembler.accept(video->record, video->fragment) == VideoReassembler::Result::Complete) {
                const auto frame = reassembler.frame();
                if (video->record.FrameNo != 0 && frame.size() != video->record.TotalLen)
                    std::abort();
            }
        }
    }
    return 0;
}
