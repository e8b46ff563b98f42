#include "server/UserId.h"

namespace oskel::server {

namespace {
char foldAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
} // namespace

std::string foldUserId(std::string_view userId)
{
    std::string out(userId);
    for (char& c : out)
        c = foldAscii(c);
    return out;
}

bool sameUserId(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    return true;
}

} // namespace oskel::server
