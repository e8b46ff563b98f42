#include "server/UdpRendezvous.h"

#include "protocol/Datagram.h"
#include "server/SessionServer.h"

namespace oskel::server {

using namespace protocol;

UdpRendezvous::UdpRendezvous(asio::io_context& io, SessionServer& sessions, std::shared_ptr<spdlog::logger> log)
    : io_(io), sessions_(sessions), log_(std::move(log))
{
}

void UdpRendezvous::open(const asio::ip::udp::endpoint& endpoint)
{
    auto socket = std::make_unique<asio::ip::udp::socket>(io_);
    socket->open(endpoint.protocol());
    socket->bind(endpoint);
    socket_ = std::move(socket);
    doReceive();
}

void UdpRendezvous::close()
{
    if (socket_) {
        asio::error_code ec;
        socket_->close(ec);
        socket_.reset();
    }
}

std::uint16_t UdpRendezvous::port() const
{
    asio::error_code ec;
    return socket_ ? socket_->local_endpoint(ec).port() : 0;
}

void UdpRendezvous::doReceive()
{
    if (!socket_)
        return;
    socket_->async_receive_from(asio::buffer(buffer_), sender_, [this](const asio::error_code& ec, std::size_t n) {
        if (ec == asio::error::operation_aborted || !socket_)
            return;
        if (!ec)
            handle(n);
        doReceive();
    });
}

void UdpRendezvous::handle(std::size_t size)
{
    const auto parsed = parseDatagram(std::span<const std::uint8_t>(buffer_.data(), size));
    if (!parsed)
        return;
    const std::string ip = sender_.address().to_string();
    const std::string port = std::to_string(sender_.port());
    if (const auto* probe = std::get_if<CServerDatagram>(&*parsed)) {
        // The answer is the probe with SeenIP and SeenPort filled; every other byte,
        // the header included, stays as it came.
        std::array<std::uint8_t, TMsgHeader::kSize + TCServerRecord::kSize> answer{};
        std::copy_n(buffer_.begin(), answer.size(), answer.begin());
        putCharField(answer.data() + TMsgHeader::kSize + 42, 21, ip);
        putCharField(answer.data() + TMsgHeader::kSize + 63, 6, port);
        (void)probe;
        asio::error_code ec;
        socket_->send_to(asio::buffer(answer), sender_, 0, ec);
        if (ec)
            log_->debug("cserver answer to {}:{} failed: {}", ip, port, ec.message());
    } else if (const auto* invite = std::get_if<AVInviteDatagram>(&*parsed)) {
        TAVInviteRecord record = invite->record;
        record.PublicIP = ip;
        record.PublicPort = port;
        sessions_.relayInvite(record);
    }
    // "audio" and "video" are not for the server.
}

} // namespace oskel::server
