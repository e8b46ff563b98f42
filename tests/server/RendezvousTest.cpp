// The UDP rendezvous: "cserver" answers and the "avinvite" relay.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "ServerHarness.h"
#include "protocol/Datagram.h"
#include "protocol/MessageBuilder.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

namespace {
class UdpPeer {
public:
    UdpPeer()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~UdpPeer() { ::close(fd_); }
    std::uint16_t port() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    void sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::optional<std::vector<std::uint8_t>> receive(int timeoutMs = 2000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return std::nullopt;
        std::vector<std::uint8_t> buf(2048);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0)
            return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

private:
    int fd_ = -1;
};
} // namespace

TEST(Rendezvous, cserver_answer_carries_the_source_address_and_port_as_text)
{
    TestServer server;
    UdpPeer peer;
    protocol::TCServerRecord probe;
    probe.Reserved = "kept";
    probe.ServerAddr = "10.0.0.5";
    auto datagram = protocol::buildCServerDatagram(probe);
    datagram[10] = 0x5A; // header bytes after the name come back as they went
    peer.sendTo(server.udpPort(), datagram);
    const auto answer = peer.receive();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->size(), 85u);
    EXPECT_EQ((*answer)[10], 0x5A);
    const auto parsed = protocol::parseDatagram(*answer);
    ASSERT_TRUE(parsed);
    const auto r = std::get<protocol::CServerDatagram>(*parsed).record;
    EXPECT_EQ(r.ServerAddr, "10.0.0.5");
    EXPECT_EQ(r.Reserved, "kept");
    EXPECT_EQ(r.SeenIP, "127.0.0.1");
    EXPECT_EQ(r.SeenPort, std::to_string(peer.port()));

    // Short datagrams, media datagrams and unknown names get no answer.
    peer.sendTo(server.udpPort(), std::vector<std::uint8_t>(datagram.begin(), datagram.begin() + 84));
    peer.sendTo(server.udpPort(), *protocol::buildAudioDatagram("{C}", std::vector<std::uint8_t>(60)));
    EXPECT_FALSE(peer.receive(300));
}

TEST(Rendezvous, avinvite_is_relayed_over_tcp_with_the_public_address)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port());
    TestClient bob2(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    UdpPeer alice;
    protocol::TAVInviteRecord invite;
    invite.CallID = "{0F8A2C44-93B1-4C1E-A0D2-6B7E5F1C9D30}";
    invite.FromID = "alice";
    invite.FromName = "Alice";
    invite.LocalAddrs = "192.168.1.7:1974;";
    invite.PublicIP = "forged";
    invite.ToID = "BOB"; // other letter case
    invite.IsVideo = true;
    invite.setStage(protocol::AVStage::avsInvite);
    auto datagram = protocol::buildAVInviteDatagram(invite);
    datagram[12] = 0xFF; // a forged Length: the relayed message must still carry 259
    datagram[13] = 0xFF;
    alice.sendTo(server.udpPort(), datagram);
    const auto m = bob.nextOf(Command::AVInvite);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->bytes.size(), 16u + 259u);
    EXPECT_EQ(m->bytes[12], 3); // 259 = 0x0103
    EXPECT_EQ(m->bytes[13], 1);
    const auto r = m->record<protocol::TAVInviteRecord>();
    EXPECT_EQ(r.PublicIP, "127.0.0.1");
    EXPECT_EQ(r.PublicPort, std::to_string(alice.port()));
    EXPECT_EQ(r.CallID, invite.CallID);
    EXPECT_EQ(r.LocalAddrs, invite.LocalAddrs);
    EXPECT_EQ(r.stage(), protocol::AVStage::avsInvite);
    EXPECT_TRUE(r.IsVideo);
    // The framing goes on: the next message still reads.
    TestClient aliceTcp(server.port());
    ASSERT_EQ(aliceTcp.login("alice", "a")->command, Command::SucLog);
    aliceTcp.sendChat("alice", "bob", "after");
    EXPECT_EQ(bob.nextOf(Command::Chat)->text1, "after");

    // Nobody connected as "carol": nothing relayed, nothing stored; an unsigned
    // connection never receives it.
    invite.ToID = "carol";
    alice.sendTo(server.udpPort(), protocol::buildAVInviteDatagram(invite));
    EXPECT_TRUE(bob2.silent(300ms));
    EXPECT_EQ(server.storedCount(), 0);
}
