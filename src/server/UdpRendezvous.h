#pragma once

#include <array>
#include <memory>

#include <asio.hpp>
#include <spdlog/logger.h>

namespace oskel::server {

class SessionServer;

// The UDP rendezvous: answers "cserver" probes with the address and port they came
// from, and relays "avinvite" records to the addressee's TCP connections after writing
// the sender's public address into them. Keeps no state; runs on the network thread.
class UdpRendezvous {
public:
    UdpRendezvous(asio::io_context& io, SessionServer& sessions, std::shared_ptr<spdlog::logger> log);

    // Throws asio::system_error when the port cannot be bound.
    void open(const asio::ip::udp::endpoint& endpoint);
    void close();
    std::uint16_t port() const;

private:
    void doReceive();
    void handle(std::size_t size);

    asio::io_context& io_;
    SessionServer& sessions_;
    std::shared_ptr<spdlog::logger> log_;
    std::unique_ptr<asio::ip::udp::socket> socket_;
    asio::ip::udp::endpoint sender_;
    std::array<std::uint8_t, 2048> buffer_{};
};

} // namespace oskel::server
