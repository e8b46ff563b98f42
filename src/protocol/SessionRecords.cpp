#include "protocol/SessionRecords.h"

namespace oskel::protocol {

std::vector<std::uint8_t> TLoginRecord::encode() const
{
    const bool longForm = Password.size() > kShortPasswordField - 1;
    std::vector<std::uint8_t> out(longForm ? kLongSize : kSize, 0);
    putCharField(out.data(), 21, UserID);
    if (longForm)
        putCharField(out.data() + kSize, kLongPasswordField, Password);
    else
        putCharField(out.data() + 21, kShortPasswordField, Password);
    out[42] = NoDirectory ? 1 : 0;
    return out;
}

TLoginRecord TLoginRecord::decode(std::span<const std::uint8_t> body)
{
    std::uint8_t buf[kLongSize] = {};
    const std::size_t n = body.size() < kLongSize ? body.size() : kLongSize;
    for (std::size_t i = 0; i < n; ++i)
        buf[i] = body[i];
    TLoginRecord r;
    r.UserID = getCharField(buf, 21);
    r.Password = getCharField(buf + 21, kShortPasswordField);
    r.NoDirectory = buf[42] != 0;
    if (r.Password.empty() && body.size() == kLongSize)
        r.Password = getCharField(buf + kSize, kLongPasswordField);
    return r;
}

} // namespace oskel::protocol
