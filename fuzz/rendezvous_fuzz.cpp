// The server's rendezvous step on arbitrary datagrams: a "cserver" answer must be the
// probe with only SeenIP and SeenPort changed, and a relayed "avinvite" must frame as
// exactly one well-formed message for the addressee's reader, whatever the datagram held.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/Datagram.h"
#include "protocol/MessageBuilder.h"
#include "protocol/MsgHeader.h"
#include "protocol/Rendezvous.h"
#include "protocol/StreamFramer.h"

using namespace oskel::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The sender's address as the socket would report it.
    const std::string ip = "203.0.113.77";
    const std::uint16_t port = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
    const std::span<const std::uint8_t> datagram(data, size);
    const RendezvousStep step = rendezvousStep(datagram, ip, port);

    if (const auto* answer = std::get_if<RendezvousAnswer>(&step)) {
        constexpr std::size_t kSeen = TMsgHeader::kSize + 42; // SeenIP char[21] + SeenPort char[6]
        if (answer->bytes.size() != TMsgHeader::kSize + TCServerRecord::kSize || size < answer->bytes.size())
            std::abort();
        if (std::memcmp(answer->bytes.data(), data, kSeen) != 0 ||
            std::memcmp(answer->bytes.data() + kSeen + 27, data + kSeen + 27, answer->bytes.size() - kSeen - 27) != 0)
            std::abort();
        const auto back = parseDatagram(answer->bytes);
        const auto* probe = back ? std::get_if<CServerDatagram>(&*back) : nullptr;
        if (!probe || probe->record.SeenIP != ip || probe->record.SeenPort != std::to_string(port))
            std::abort();
    } else if (const auto* relay = std::get_if<RendezvousRelay>(&step)) {
        const auto message = buildAVInvite(relay->invite);
        StreamFramer framer(ReaderSide::Client);
        int frames = 0;
        const bool ok = framer.feed(message, [&](const auto& f) {
            ++frames;
            if (f.command != Command::AVInvite)
                std::abort();
            const auto record = TAVInviteRecord::decode(f.body);
            if (record.PublicIP != ip || record.PublicPort != std::to_string(port))
                std::abort();
        });
        if (!ok || frames != 1 || message.size() != TMsgHeader::kSize + TAVInviteRecord::kSize)
            std::abort();
    }
    return 0;
}
