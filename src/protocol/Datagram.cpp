#include "protocol/Datagram.h"

#include "protocol/MsgHeader.h"

#include <cstring>

namespace oskel::protocol {

namespace {
constexpr std::int32_t kMediaHeaderLength = 59;

template <class R>
std::vector<std::uint8_t> assemble(Command command, std::int32_t headerLength, const R& record,
                                   std::span<const std::uint8_t> extra = {})
{
    const auto header = TMsgHeader::make(command, headerLength).encode();
    const auto body = record.encode();
    std::vector<std::uint8_t> out(header.size() + body.size() + extra.size());
    std::memcpy(out.data(), header.data(), header.size());
    std::memcpy(out.data() + header.size(), body.data(), body.size());
    if (!extra.empty())
        std::memcpy(out.data() + header.size() + body.size(), extra.data(), extra.size());
    return out;
}
} // namespace

std::optional<Datagram> parseDatagram(std::span<const std::uint8_t> datagram)
{
    constexpr std::size_t H = TMsgHeader::kSize;
    if (datagram.size() < H)
        return std::nullopt;
    const TMsgHeader header = TMsgHeader::decode(datagram.first<H>());
    const auto body = datagram.subspan(H);
    switch (header.command()) {
    case Command::CServer:
        if (body.size() < TCServerRecord::kSize)
            return std::nullopt;
        return CServerDatagram{TCServerRecord::decode(body)};
    case Command::AVInvite:
        if (body.size() < TAVInviteRecord::kSize)
            return std::nullopt;
        return AVInviteDatagram{TAVInviteRecord::decode(body)};
    case Command::Audio: {
        if (body.size() < TAudioRecord::kSize)
            return std::nullopt;
        AudioDatagram d{TAudioRecord::decode(body), {}};
        const auto rest = body.subspan(TAudioRecord::kSize);
        if (d.record.PayloadLen > rest.size())
            return std::nullopt;
        d.payload = rest.first(d.record.PayloadLen);
        return d;
    }
    case Command::Video: {
        if (body.size() < TVideoRecord::kSize)
            return std::nullopt;
        VideoDatagram d{TVideoRecord::decode(body), {}};
        const auto rest = body.subspan(TVideoRecord::kSize);
        if (d.record.ChunkLen > rest.size())
            return std::nullopt;
        d.fragment = rest.first(d.record.ChunkLen);
        return d;
    }
    default:
        return std::nullopt;
    }
}

std::vector<std::uint8_t> buildCServerDatagram(const TCServerRecord& record)
{
    return assemble(Command::CServer, static_cast<std::int32_t>(TCServerRecord::kSize), record);
}

std::vector<std::uint8_t> buildAVInviteDatagram(const TAVInviteRecord& record)
{
    return assemble(Command::AVInvite, static_cast<std::int32_t>(TAVInviteRecord::kSize), record);
}

std::optional<std::vector<std::uint8_t>> buildAudioDatagram(std::string_view callId,
                                                            std::span<const std::uint8_t> payload)
{
    if (payload.size() > 65535)
        return std::nullopt;
    TAudioRecord record;
    record.CallID = std::string(callId);
    record.PayloadLen = static_cast<std::uint16_t>(payload.size());
    return assemble(Command::Audio, kMediaHeaderLength, record, payload);
}

std::vector<std::uint8_t> buildVideoDatagram(TVideoRecord record, std::span<const std::uint8_t> fragment)
{
    record.ChunkLen = static_cast<std::uint16_t>(fragment.size());
    return assemble(Command::Video, kMediaHeaderLength, record, fragment);
}

} // namespace oskel::protocol
