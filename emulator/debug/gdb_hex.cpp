#include "debug/gdb_hex.h"

namespace vekos::gdb {
namespace {

constexpr unsigned bits_per_digit = 4;
constexpr uint32_t room_for_one_more_digit = 0x0FFFFFFF;

std::optional<unsigned> digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return unsigned(c - '0');
    if (c >= 'a' && c <= 'f')
        return unsigned(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return unsigned(c - 'A' + 10);
    return std::nullopt;
}

} // namespace

std::optional<uint32_t> parse_hex_u32(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        auto digit = digit_value(c);
        if (!digit || value > room_for_one_more_digit)
            return std::nullopt;
        value = (value << bits_per_digit) | *digit;
    }
    return value;
}

std::optional<std::vector<uint8_t>> decode_hex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        auto high = digit_value(text[i]), low = digit_value(text[i + 1]);
        if (!high || !low)
            return std::nullopt;
        bytes.push_back(uint8_t((*high << bits_per_digit) | *low));
    }
    return bytes;
}

void append_hex_byte(std::string& out, uint8_t byte)
{
    static constexpr char digits[] = "0123456789abcdef";
    out += digits[byte >> bits_per_digit];
    out += digits[byte & 0xF];
}

std::string encode_hex(std::span<const uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes)
        append_hex_byte(out, b);
    return out;
}

bool needs_escape(uint8_t byte)
{
    return byte == '#' || byte == '$' || byte == uint8_t(escape_byte) || byte == '*';
}

std::optional<std::vector<uint8_t>> unescape_binary(std::string_view text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != escape_byte) {
            bytes.push_back(uint8_t(text[i]));
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        bytes.push_back(uint8_t(text[i]) ^ escape_xor);
    }
    return bytes;
}

} // namespace vekos::gdb
