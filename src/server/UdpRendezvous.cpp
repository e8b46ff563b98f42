#include "server/UdpRendezvous.h"

#include "protocol/Rendezvous.h"
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
    const std::string ip = sender_.address().to_string();
    const auto step = rendezvousStep(std::span<const std::uint8_t>(buffer_.data(), size), ip, sender_.port());
    if (const auto* answer = std::get_if<RendezvousAnswer>(&step)) {
        asio::error_code ec;
        socket_->send_to(asio::buffer(answer->bytes), sender_, 0, ec);
        if (ec)
            log_->debug("cserver answer to {}:{} failed: {}", ip, sender_.port(), ec.message());
    } else if (const auto* relay = std::get_if<RendezvousRelay>(&step)) {
        sessions_.relayInvite(relay->invite);
    }
}

} // namespace oskel::server
