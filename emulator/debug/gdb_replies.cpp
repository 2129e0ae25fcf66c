#include "debug/gdb_replies.h"

#include "debug/gdb_hex.h"

#include <algorithm>

namespace vekos::gdb {
namespace {

constexpr char xfer_more = 'm';
constexpr char xfer_last = 'l';
constexpr std::string_view unavailable_byte = "xx";

std::string hex_u32(uint32_t value)
{
    std::string out;
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        unsigned digit = (value >> shift) & 0xF;
        started = started || digit != 0 || shift == 0;
        if (started)
            out += "0123456789abcdef"[digit];
    }
    return out;
}

std::string code_and_byte(char code, uint8_t byte)
{
    std::string out(1, code);
    append_hex_byte(out, byte);
    return out;
}

std::string_view watch_name(BreakpointKind kind)
{
    switch (kind) {
    case BreakpointKind::read_watch: return "rwatch";
    case BreakpointKind::access_watch: return "awatch";
    default: return "watch";
    }
}

} // namespace

std::string reply_ok() { return "OK"; }

std::string reply_error(ErrorCode code) { return code_and_byte('E', uint8_t(code)); }

std::string reply_supported()
{
    return "PacketSize=" + hex_u32(max_packet_payload) +
           ";qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+";
}

std::string reply_resume_actions() { return "vCont;c;C;s;S"; }

std::string reply_stop(const StopEvent& stop, StopReplyOptions options)
{
    using Kind = StopEvent::Kind;
    if (stop.kind == Kind::exited)
        return code_and_byte('W', stop.exit_status);
    if (stop.kind == Kind::terminated)
        return code_and_byte('X', stop.signal);
    std::string out = code_and_byte('T', stop.signal);
    if (stop.kind == Kind::breakpoint && options.swbreak)
        out += "swbreak:;";
    if (stop.kind == Kind::hw_breakpoint && options.hwbreak)
        out += "hwbreak:;";
    if (stop.kind == Kind::watchpoint)
        out += std::string(watch_name(stop.watch_kind)) + ":" + hex_u32(stop.watch_address) + ";";
    return out + "thread:" + hex_u32(the_thread) + ";";
}

void append_register(std::string& out, std::span<const uint8_t> value, bool available)
{
    for (uint8_t byte : value) {
        if (available)
            append_hex_byte(out, byte);
        else
            out += unavailable_byte;
    }
}

std::string reply_memory(std::span<const uint8_t> bytes)
{
    return bytes.empty() ? reply_error(ErrorCode::memory_fault) : encode_hex(bytes);
}

std::string reply_xfer_chunk(std::string_view document, uint32_t offset, uint32_t length,
                             size_t max_payload)
{
    if (offset > document.size())
        return reply_error(ErrorCode::bad_offset);
    std::string data;
    size_t taken = 0, room = max_payload - 1;
    std::string_view rest = document.substr(offset, std::min<size_t>(length, document.size() - offset));
    for (char c : rest) {
        size_t need = needs_escape(uint8_t(c)) ? 2 : 1;
        if (data.size() + need > room)
            break;
        if (need == 2) {
            data += escape_byte;
            c = char(uint8_t(c) ^ escape_xor);
        }
        data += c;
        ++taken;
    }
    bool last = offset + taken == document.size();
    return (last ? xfer_last : xfer_more) + data;
}

std::string reply_current_thread() { return "QC" + hex_u32(the_thread); }

std::string reply_thread_list(bool first) { return first ? std::string("m").append(hex_u32(the_thread)) : "l"; }

std::string reply_attached(bool attached) { return attached ? "1" : "0"; }

} // namespace vekos::gdb
