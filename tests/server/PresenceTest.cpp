// Presence changes go out in batches: every connection still sees them in the order
// they happened relative to its other messages, and none is lost when a connection is
// cut off while a batch is handed out.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ServerHarness.h"
#include "protocol/MessageBuilder.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

namespace {
std::vector<std::uint8_t> statusBytes(const std::string& user, const std::string& status)
{
    protocol::TStatusRecord r;
    r.UserID = user;
    r.Status = status;
    return protocol::buildStatus(r);
}

void append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// What bob's client shows for one message: "status:<status>" or "<command>:<text>".
std::string seen(const Received& m)
{
    switch (m.command) {
    case Command::Status:
        return "status:" + m.record<protocol::TStatusRecord>().Status;
    case Command::Chat:
        return "chat:" + m.text1;
    case Command::MultChat:
        return "multchat:" + m.text2;
    case Command::FileSend:
        return "file:" + m.record<protocol::TFileSendRecord>().Note;
    default:
        return "other";
    }
}
} // namespace

// A status change and a message from the same sender, in one write: the third
// connection sees them in that order, whatever kind of message follows.
TEST(Presence, a_status_change_reaches_a_third_connection_before_what_its_sender_sends_next)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port()), alice(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);

    using Make = std::function<std::vector<std::uint8_t>(const std::string&)>;
    const std::vector<std::pair<const char*, Make>> kinds = {
        {"chat",
         [](const std::string& text) {
             protocol::TChatRecord r;
             r.SenderID = "alice";
             r.ReceiverID = "bob";
             return protocol::buildChat(r, text);
         }},
        {"multchat",
         [](const std::string& text) {
             protocol::TMultChatRecord r;
             r.GroupID = "{5D1E7A90-2B3C-4F4D-8E6F-708192A3B4C5}";
             r.SenderID = "alice";
             return protocol::buildMultChat(r, "bob\r\n", text);
         }},
        {"file",
         [](const std::string& text) {
             protocol::TFileSendRecord r;
             r.SenderID = "alice";
             r.ReceiverID = "bob";
             r.Note = text;
             r.FileName = "a.txt";
             r.RegFileName = "{0A1B2C3D-0000-0000-0000-000000000001}";
             return protocol::buildFileSend(r);
         }},
    };
    const char* statuses[] = {"Away", "Busy", "N/A", "Online"};
    for (const auto& [kind, make] : kinds) {
        std::vector<std::uint8_t> burst;
        std::vector<std::string> expected;
        for (int i = 0; i < 4; ++i) {
            append(burst, statusBytes("alice", statuses[i]));
            expected.push_back(std::string("status:") + statuses[i]);
            const std::string text = std::string(kind) + " " + std::to_string(i);
            append(burst, make(text));
            expected.push_back(std::string(kind) + ":" + text);
        }
        alice.send(burst);
        std::vector<std::string> got;
        while (got.size() < expected.size()) {
            const auto m = bob.next();
            if (!m)
                break;
            got.push_back(seen(*m));
        }
        EXPECT_EQ(got, expected) << kind;
        EXPECT_TRUE(bob.silent(200ms)) << kind; // nothing twice
        while (alice.next(200ms)) { // her own status changes
        }
    }
}

// sloth never reads and is sent nothing but presence, so its queue passes the bound
// while a batch is handed out. alice was handed that batch before sloth, carol after
// it. sloth's "Offline" must reach both of them.
TEST(Presence, a_connection_cut_off_while_presence_is_handed_out_is_heard_leaving_by_everybody)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("sloth", "s");
    server.addUser("carol", "c");
    // Accepted in this order: the server hands batches out in the order of acceptance.
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    TestClient sloth(server.port());
    int small = 4096;
    ::setsockopt(sloth.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(sloth.login("sloth", "s")->command, Command::SucLog);
    TestClient carol(server.port());
    ASSERT_EQ(carol.login("carol", "c")->command, Command::SucLog);

    // About 6 MB of chat for sloth first, below its 8 MB bound whatever the kernel took;
    // carol's marker shows they are all queued before the presence storm starts.
    const std::string big(60000, 'x');
    for (int i = 0; i < 100; ++i)
        alice.sendChat("alice", "sloth", big);
    alice.sendChat("alice", "carol", "marker");
    ASSERT_TRUE(carol.nextOf(Command::Chat, 10000ms));

    struct Watcher {
        TestClient* client;
        long long carolChanges = 0;
        bool heardSlothLeave = false;
    };
    Watcher watchers[] = {{&alice}, {&carol}};
    const auto take = [](Watcher& w, const Received& m) {
        if (m.command != Command::Status)
            return;
        const auto r = m.record<protocol::TStatusRecord>();
        if (r.UserID == "carol")
            ++w.carolChanges;
        else if (r.UserID == "sloth" && r.Status == "Offline")
            w.heardSlothLeave = true;
    };

    // Rounds of 2,000 status changes from carol; alice and carol read all of theirs.
    constexpr int kPerRound = 2000;
    long long sent = 0;
    for (int round = 0; round < 300 && !watchers[1].heardSlothLeave; ++round) {
        std::vector<std::uint8_t> burst;
        for (int i = 0; i < kPerRound; ++i)
            append(burst, statusBytes("carol", i % 2 ? "Busy" : "Away"));
        carol.send(burst);
        sent += kPerRound;
        for (Watcher& w : watchers)
            while (w.carolChanges < sent) {
                const auto m = w.client->next(5000ms);
                ASSERT_TRUE(m) << "round " << round << ": " << w.carolChanges << " of " << sent;
                take(w, *m);
            }
    }
    // Whatever is still on its way.
    for (Watcher& w : watchers)
        while (const auto m = w.client->next(500ms))
            take(w, *m);

    // carol hears it only once sloth is cut off: the scenario took place.
    ASSERT_TRUE(watchers[1].heardSlothLeave) << "sloth was never cut off; " << sent << " changes sent";
    EXPECT_EQ(watchers[0].carolChanges, sent);
    EXPECT_EQ(watchers[1].carolChanges, sent);
    EXPECT_TRUE(watchers[0].heardSlothLeave) << "alice never heard that sloth left (" << sent << " changes sent)";
}
