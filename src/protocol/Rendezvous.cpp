#include "protocol/Rendezvous.h"

#include <algorithm>

#include "protocol/Datagram.h"
#include "protocol/FieldCodec.h"
#include "protocol/MsgHeader.h"

namespace oskel::protocol {

RendezvousStep rendezvousStep(std::span<const std::uint8_t> datagram, const std::string& ip, std::uint16_t port)
{
    const auto parsed = parseDatagram(datagram);
    if (!parsed)
        return {};
    if (std::holds_alternative<CServerDatagram>(*parsed)) {
        // parseDatagram guarantees header + record; bytes past them are not echoed.
        RendezvousAnswer a;
        a.bytes.assign(datagram.begin(), datagram.begin() + TMsgHeader::kSize + TCServerRecord::kSize);
        putCharField(a.bytes.data() + TMsgHeader::kSize + 42, 21, ip);
        putCharField(a.bytes.data() + TMsgHeader::kSize + 63, 6, std::to_string(port));
        return a;
    }
    if (const auto* invite = std::get_if<AVInviteDatagram>(&*parsed)) {
        RendezvousRelay r{invite->record};
        r.invite.PublicIP = ip;
        r.invite.PublicPort = std::to_string(port);
        return r;
    }
    return {}; // "audio" and "video" are not for the server
}

} // namespace oskel::protocol
