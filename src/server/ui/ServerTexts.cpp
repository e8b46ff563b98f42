#include "server/ui/ServerTexts.h"

#include <cstring>

namespace oskel::server::ui {

namespace {
struct Entry {
    const char* key;
    const char* text;
};
constexpr Entry kTexts[] = {
    {"s_stopserver", "Are you sure to stop Oskel Server?"},
    {"s_Closeserver", "Are you sure to close Oskel Server Manager?"},
    {"s_selusr", "Please select user."},
    {"s_suredis", "Are you sure to disconnect this user?"},
    {"s_disconnect", "You are disconnected by server."},
    {"s_sure", "Are you sure to delete this record?"},
    {"s_check", "Password does not match. Please check."},
    {"s_seldept", "   is not a valid department name"},
    {"s_serverrun", "Server status : Running"},
    {"s_serverstop1", "Server status : Stopped"},
    {"s_serverstart", " Server started."},
    {"s_serverstop", " Server stoped"},
    {"s_critical", "Critical error occured. Please re-install the application."},
    {"s_voice", "Send voice chat"},
    {"s_file", "Send file"},
    {"s_video", "Send video chat"},
    {"s_screeshot", "Send screen shot"},
    {"s_invite", "Invite user"},
    {"s_invisible", "Swich to invisible mode"},
    {"s_detail", "Modify own user detail"},
    {"s_broad", "Broadcast message"},
};
} // namespace

QString serverText(const char* key)
{
    for (const auto& e : kTexts)
        if (std::strcmp(e.key, key) == 0)
            return QString::fromUtf8(e.text);
    return QString::fromUtf8(key);
}

} // namespace oskel::server::ui
