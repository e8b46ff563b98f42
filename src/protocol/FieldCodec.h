#pragma once

// Field descriptors and the two visitors that turn a record into bytes and back.
// Every record lists its fields once, with offset and size, in a static `fields`
// function; encoding and decoding both walk that list, so the layout lives in one place.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "protocol/Utf8Text.h"

namespace oskel::protocol {

// char[N]: at most N-1 bytes of text, then NUL; a reader stops at the first NUL or
// after N bytes.
struct CharField {
    std::size_t offset;
    std::size_t size;
};
// string[N]: a length byte, then N bytes of which `length` are significant. `size` is
// the whole field (N+1).
struct ShortStringField {
    std::size_t offset;
    std::size_t size;
};
// One byte, 0 = false; a reader takes any non-zero value as true.
struct FlagField {
    std::size_t offset;
};
struct U8Field {
    std::size_t offset;
};
struct U16Field {
    std::size_t offset;
};
struct I32Field {
    std::size_t offset;
};

inline void putU16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void putI32(std::uint8_t* p, std::int32_t v)
{
    const auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<std::uint8_t>(u);
    p[1] = static_cast<std::uint8_t>(u >> 8);
    p[2] = static_cast<std::uint8_t>(u >> 16);
    p[3] = static_cast<std::uint8_t>(u >> 24);
}
inline std::uint16_t getU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::int32_t getI32(const std::uint8_t* p)
{
    const std::uint32_t u =
        std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
    return static_cast<std::int32_t>(u);
}

// Writes a char[N] field: the text cut to N-1 bytes on a character boundary, the rest
// zero.
inline void putCharField(std::uint8_t* field, std::size_t size, std::string_view text)
{
    const std::string_view cut = cutUtf8(text, size - 1);
    std::memset(field, 0, size);
    std::memcpy(field, cut.data(), cut.size());
}
inline std::string getCharField(const std::uint8_t* field, std::size_t size)
{
    const void* nul = std::memchr(field, 0, size);
    const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - field) : size;
    return std::string(reinterpret_cast<const char*>(field), n);
}

class FieldWriter {
public:
    explicit FieldWriter(std::uint8_t* out) : out_(out) {}
    void operator()(CharField f, const std::string& v) const { putCharField(out_ + f.offset, f.size, v); }
    void operator()(ShortStringField f, const std::string& v) const
    {
        const std::string_view cut = cutUtf8(v, f.size - 1);
        std::memset(out_ + f.offset, 0, f.size);
        out_[f.offset] = static_cast<std::uint8_t>(cut.size());
        std::memcpy(out_ + f.offset + 1, cut.data(), cut.size());
    }
    void operator()(FlagField f, bool v) const { out_[f.offset] = v ? 1 : 0; }
    void operator()(U8Field f, std::uint8_t v) const { out_[f.offset] = v; }
    void operator()(U16Field f, std::uint16_t v) const { putU16(out_ + f.offset, v); }
    void operator()(I32Field f, std::int32_t v) const { putI32(out_ + f.offset, v); }

private:
    std::uint8_t* out_;
};

class FieldReader {
public:
    explicit FieldReader(const std::uint8_t* in) : in_(in) {}
    void operator()(CharField f, std::string& v) const { v = getCharField(in_ + f.offset, f.size); }
    void operator()(ShortStringField f, std::string& v) const
    {
        std::size_t n = in_[f.offset];
        if (n > f.size - 1)
            n = f.size - 1; // a length byte beyond the field never reads past it
        v.assign(reinterpret_cast<const char*>(in_ + f.offset + 1), n);
    }
    void operator()(FlagField f, bool& v) const { v = in_[f.offset] != 0; }
    void operator()(U8Field f, std::uint8_t& v) const { v = in_[f.offset]; }
    void operator()(U16Field f, std::uint16_t& v) const { v = getU16(in_ + f.offset); }
    void operator()(I32Field f, std::int32_t& v) const { v = getI32(in_ + f.offset); }

private:
    const std::uint8_t* in_;
};

// A record type R provides `static constexpr std::size_t kSize` and
// `template <class Self, class F> static void fields(Self& r, F&& f)`.
template <class R> std::array<std::uint8_t, R::kSize> encodeRecord(const R& record)
{
    std::array<std::uint8_t, R::kSize> out{};
    R::fields(record, FieldWriter(out.data()));
    return out;
}

// Decodes from the first R::kSize bytes; a shorter input is zero-extended, so a reader
// never reaches past what it was given.
template <class R> R decodeRecord(std::span<const std::uint8_t> bytes)
{
    std::array<std::uint8_t, R::kSize> buf{};
    if (!bytes.empty())
        std::memcpy(buf.data(), bytes.data(), bytes.size() < R::kSize ? bytes.size() : R::kSize);
    R record{};
    R::fields(record, FieldReader(buf.data()));
    return record;
}

} // namespace oskel::protocol

namespace oskel::protocol {

// Gives a record type its encode() and decode() from its field list.
template <class R> struct RecordCodec {
    auto encode() const { return encodeRecord(static_cast<const R&>(*this)); }
    static R decode(std::span<const std::uint8_t> bytes) { return decodeRecord<R>(bytes); }
};

} // namespace oskel::protocol
