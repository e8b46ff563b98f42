#pragma once

// Bodies of the conversation and account messages: "chat", "multchat", "filesend",
// "chgpass", "chginfo".

#include <cstdint>
#include <string>

#include "protocol/FieldCodec.h"

namespace oskel::protocol {

struct TChatRecord : RecordCodec<TChatRecord> {
    static constexpr std::size_t kSize = 161;

    std::string SenderID;
    std::string SenderName;
    std::string ReceiverID;
    std::string ReceiverName;
    std::string FontColor; // "clBlack" or "$" and eight hex digits
    std::string FontName;
    std::string SendTime;
    std::uint16_t FontSize = 0;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    std::uint16_t TextLen = 0;
    bool Offline = false;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.SenderID);
        f(CharField{21, 21}, r.SenderName);
        f(CharField{42, 21}, r.ReceiverID);
        f(CharField{63, 21}, r.ReceiverName);
        f(CharField{84, 17}, r.FontColor);
        f(CharField{101, 31}, r.FontName);
        f(CharField{132, 21}, r.SendTime);
        f(U16Field{153}, r.FontSize);
        f(FlagField{155}, r.Bold);
        f(FlagField{156}, r.Italic);
        f(FlagField{157}, r.Underline);
        f(U16Field{158}, r.TextLen);
        f(FlagField{160}, r.Offline);
    }
};

struct TMultChatRecord : RecordCodec<TMultChatRecord> {
    static constexpr std::size_t kSize = 244;

    std::string GroupID; // braced GUID text; bytes 41..122 are not used
    std::string SenderID;
    std::string SenderName;
    std::uint16_t MemberListLen = 0;
    std::string FontColor;
    std::string FontName;
    std::string SendTime;
    std::uint16_t FontSize = 0;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    std::uint16_t TextLen = 0;
    bool Offline = false;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 41}, r.GroupID);
        f(CharField{123, 21}, r.SenderID);
        f(CharField{144, 21}, r.SenderName);
        f(U16Field{165}, r.MemberListLen);
        f(CharField{167, 17}, r.FontColor);
        f(CharField{184, 31}, r.FontName);
        f(CharField{215, 21}, r.SendTime);
        f(U16Field{236}, r.FontSize);
        f(FlagField{238}, r.Bold);
        f(FlagField{239}, r.Italic);
        f(FlagField{240}, r.Underline);
        f(U16Field{241}, r.TextLen);
        f(FlagField{243}, r.Offline);
    }
};

struct TFileSendRecord : RecordCodec<TFileSendRecord> {
    static constexpr std::size_t kSize = 453;

    std::string SenderID;
    std::string SenderName;
    std::string ReceiverID;
    std::string ReceiverName;
    std::string Note;
    std::string SendTime;
    std::string FileName;    // as the receiver is to see it
    std::string RegFileName; // GUID name on the file service

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.SenderID);
        f(CharField{21, 21}, r.SenderName);
        f(CharField{42, 21}, r.ReceiverID);
        f(CharField{63, 21}, r.ReceiverName);
        f(CharField{84, 256}, r.Note);
        f(CharField{340, 21}, r.SendTime);
        f(CharField{361, 51}, r.FileName);
        f(CharField{412, 41}, r.RegFileName);
    }
};

struct TChgPassRecord : RecordCodec<TChgPassRecord> {
    static constexpr std::size_t kSize = 42;

    std::string UserID;
    std::string NewPassword; // plain text

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.UserID);
        f(CharField{21, 21}, r.NewPassword);
    }
};

struct TChgInfoRecord : RecordCodec<TChgInfoRecord> {
    static constexpr std::size_t kSize = 580;

    std::string UserID;
    std::string FirstName;
    std::string LastName;
    std::string Gender;
    std::string JobTitle;
    std::string EMail;
    std::string Address;
    std::string PostCode;
    std::string HandSet;
    std::string Phone;
    std::string State;
    std::string City;
    std::string BirthDay; // string[20], yyyy-MM-dd; empty when none
    std::string Remark;
    std::string Fax;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.UserID);
        f(CharField{21, 31}, r.FirstName);
        f(CharField{52, 31}, r.LastName);
        f(CharField{83, 11}, r.Gender);
        f(CharField{94, 21}, r.JobTitle);
        f(CharField{115, 21}, r.EMail);
        f(CharField{136, 51}, r.Address);
        f(CharField{187, 11}, r.PostCode);
        f(CharField{198, 21}, r.HandSet);
        f(CharField{219, 21}, r.Phone);
        f(CharField{240, 21}, r.State);
        f(CharField{261, 21}, r.City);
        f(ShortStringField{282, 21}, r.BirthDay);
        f(CharField{303, 256}, r.Remark);
        f(CharField{559, 21}, r.Fax);
    }
};

} // namespace oskel::protocol
