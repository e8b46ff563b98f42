#include "ProtocolExamples.h"

#include <cstdio>

#include "protocol/Datagram.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"
#include "protocol/VideoFragments.h"

namespace oskel::protocol::examples {

namespace {
const std::string kCallId = "{0F8A2C44-93B1-4C1E-A0D2-6B7E5F1C9D30}";
}

std::vector<Example> wireExamples()
{
    std::vector<Example> out;

    TLoginRecord login;
    login.UserID = "alice";
    login.Password = encipherText("secret");
    out.push_back({"login", buildLogin(login)});

    TLoginRecord longLogin;
    longLogin.UserID = "alice";
    longLogin.Password = encipherText("correct horse");
    longLogin.NoDirectory = true;
    out.push_back({"login-long", buildLogin(longLogin)});

    TLoginReply reply;
    reply.FirstName = "Alice";
    reply.ServerAddrs = "10.0.0.5\r\n";
    reply.Organisation = "Example Works";
    reply.TcpPort = 7412;
    reply.FtpPort = 7416;
    reply.UdpPort = 7418;
    reply.Rights = "11111111";
    reply.EncryptMsg = false;
    reply.FileSizeLimit = 10;
    const std::string directory =
        "alice\talice\tAlice\tSmith\t1\tSales\tF\tManager\talice@example.org\t\t\t\t\t\t\t\t\tFalse\t\r\n";
    const std::string online = "alice\tOffline\r\n";
    out.push_back({"suclog", buildSucLog(reply, directory, online)});

    out.push_back({"faillog", buildFailLog("invalid password")});
    out.push_back({"kikout", buildKikOut("You are disconnected by server.")});

    TStatusRecord status;
    status.UserID = "alice";
    status.Status = "Online";
    out.push_back({"status", buildStatus(status)});

    TChatRecord chat;
    chat.SenderID = "alice";
    chat.SenderName = "alice";
    chat.ReceiverID = "bob";
    chat.ReceiverName = "bob";
    chat.FontColor = "clBlack";
    chat.FontName = "Sans";
    chat.SendTime = "2026-12-11 09:30:00";
    chat.FontSize = 10;
    chat.Bold = true;
    out.push_back({"chat", buildChat(chat, "Hello /p01")});

    TMultChatRecord multchat;
    multchat.GroupID = "{5D1E7A90-2B3C-4F4D-8E6F-708192A3B4C5}";
    multchat.SenderID = "alice";
    multchat.SenderName = "alice";
    multchat.FontColor = "$00FF0000";
    multchat.FontName = "Sans";
    multchat.SendTime = "2026-12-11 09:31:00";
    multchat.FontSize = 9;
    out.push_back({"multchat", buildMultChat(multchat, "bob\r\ncarol\r\n", "Hi all")});

    TFileSendRecord file;
    file.SenderID = "alice";
    file.SenderName = "alice";
    file.ReceiverID = "bob";
    file.ReceiverName = "bob";
    file.Note = "the figures";
    file.SendTime = "2026-12-11 09:32:00";
    file.FileName = "report.pdf";
    file.RegFileName = "{C3D4E5F6-0718-4293-A4B5-C6D7E8F90A1B}";
    out.push_back({"filesend", buildFileSend(file)});

    TChgPassRecord pass;
    pass.UserID = "alice";
    pass.NewPassword = "n3w-pass";
    out.push_back({"chgpass", buildChgPass(pass)});

    TChgInfoRecord info;
    info.UserID = "alice";
    info.FirstName = "Alice";
    info.LastName = "Smith";
    info.Gender = "F";
    info.JobTitle = "Manager";
    info.EMail = "alice@example.org";
    info.City = "Lyon";
    info.BirthDay = "1990-04-01";
    info.Remark = "back on Monday";
    out.push_back({"chginfo", buildChgInfo(info)});

    TAVInviteRecord invite;
    invite.CallID = kCallId;
    invite.FromID = "alice";
    invite.FromName = "alice";
    invite.LocalAddrs = "192.168.1.7:1974;";
    invite.PublicIP = "10.0.0.9";
    invite.PublicPort = "1974";
    invite.ToID = "bob";
    invite.ToName = "bob";
    invite.IsVideo = true;
    invite.setStage(AVStage::avsInvite);
    out.push_back({"avinvite-tcp", buildAVInvite(invite)});

    out.push_back({"alive", buildAlive()});

    TCServerRecord probe;
    probe.ServerAddr = "10.0.0.5";
    out.push_back({"cserver-probe", buildCServerDatagram(probe)});
    probe.SeenIP = "10.0.0.9";
    probe.SeenPort = "1974";
    out.push_back({"cserver-answer", buildCServerDatagram(probe)});

    TAVInviteRecord datagramInvite = invite;
    datagramInvite.PublicIP.clear();
    datagramInvite.PublicPort.clear();
    out.push_back({"avinvite-udp", buildAVInviteDatagram(datagramInvite)});

    std::vector<std::uint8_t> speech(60);
    for (std::size_t i = 0; i < speech.size(); ++i)
        speech[i] = static_cast<std::uint8_t>(i);
    out.push_back({"audio", *buildAudioDatagram(kCallId, speech)});

    std::vector<std::uint8_t> frame(20);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(0xA0 + i);
    out.push_back({"video", fragmentVideoFrame(kCallId, 7, 160, 120, frame).at(0)});
    return out;
}

std::vector<CipherVector> cipherVectors()
{
    std::vector<CipherVector> out;
    for (const char* plain : {"", "a", "secret", "1234567", "12345678", "correct horse", "twenty-byte-password"})
        out.push_back({plain, encipherText(plain)});
    return out;
}

std::string hexDump(const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
        out += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return out;
}

} // namespace oskel::protocol::examples
