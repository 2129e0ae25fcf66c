// Hexadecimal numbers and byte strings as the GDB remote protocol writes
// them, and the escaping of binary data ('}' then the byte XOR 0x20).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::gdb {

// A number in hexadecimal, at least one digit, no sign, no prefix; nullopt
// for anything else or a value beyond 32 bits (leading zeros are allowed).
std::optional<uint32_t> parse_hex_u32(std::string_view text);

// Pairs of hexadecimal digits; nullopt for an odd count or a non-digit.
std::optional<std::vector<uint8_t>> decode_hex(std::string_view text);

// Two lower-case digits per byte.
std::string encode_hex(std::span<const uint8_t> bytes);
void append_hex_byte(std::string& out, uint8_t byte);

// Binary data as it travels in X packets and qXfer replies: '#', '$', '}'
// and '*' are sent as '}' followed by the byte XOR 0x20.
constexpr char escape_byte = '}';
constexpr uint8_t escape_xor = 0x20;
bool needs_escape(uint8_t byte);
// nullopt when the data ends in the middle of an escape.
std::optional<std::vector<uint8_t>> unescape_binary(std::string_view text);

} // namespace vekos::gdb
