#include "kernel/trace.h"

#include "cpu/guest_memory.h"
#include "kernel/console.h"
#include "kernel/guest_args.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include "vekos_abi.h"
}

namespace vekos {
namespace {

constexpr uint32_t kMaxShownPath = 4096;
constexpr int64_t kShownBytes = 32;

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string short_hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%#x", v);
    return buf;
}

std::string pointer(uint32_t v) { return v == 0 ? "NULL" : hex(v); }

// open's flags by name, as in the C headers: O_WRONLY|O_CREAT|O_TRUNC.
std::string open_flags(uint32_t flags)
{
    static constexpr std::pair<uint32_t, const char*> kBits[] = {{VEKOS_O_CREAT, "O_CREAT"}, {VEKOS_O_EXCL, "O_EXCL"},
        {VEKOS_O_TRUNC, "O_TRUNC"}, {VEKOS_O_APPEND, "O_APPEND"}, {VEKOS_O_DIRECTORY, "O_DIRECTORY"}};
    static constexpr const char* kAccess[] = {"O_RDONLY", "O_WRONLY", "O_RDWR", "0x3"};
    std::string out = kAccess[flags & VEKOS_O_ACCMODE];
    flags &= ~uint32_t(VEKOS_O_ACCMODE);
    for (const auto& [bit, name] : kBits)
        if (flags & bit) {
            out.append("|").append(name);
            flags &= ~bit;
        }
    if (flags)
        out.append("|").append(short_hex(flags)); // bits vekos does not know
    return out;
}

std::string cstring(const GuestMemory& m, uint32_t addr)
{
    if (addr == 0)
        return "NULL";
    auto s = m.read_cstring(addr, kMaxShownPath);
    return s ? quote_bytes(*s) : hex(addr);
}

std::string buffer(const GuestMemory& m, uint32_t addr, int64_t len)
{
    if (addr == 0)
        return "NULL";
    if (len <= 0)
        return len == 0 ? "\"\"" : hex(addr);
    std::vector<uint8_t> bytes(size_t(std::min(len, kShownBytes)));
    if (!m.peek(addr, bytes))
        return hex(addr);
    return quote_bytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
        + (len > kShownBytes ? "..." : "");
}

std::string record(const GuestMemory& m, ArgKind kind, uint32_t addr, int32_t answer)
{
    auto colour = [](uint32_t c) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%06x", c);
        return std::string(buf);
    };
    switch (kind) {
    case ArgKind::COLOR_REC:
        if (auto r = guest_record<gui_color>(m, addr))
            return "{color=" + colour(r->color) + "}";
        break;
    case ArgKind::RECT_REC:
        if (auto r = guest_record<gui_rect>(m, addr))
            return "{x=" + std::to_string(r->x) + ", y=" + std::to_string(r->y) + ", w=" + std::to_string(r->w)
                + ", h=" + std::to_string(r->h) + ", color=" + colour(r->color) + "}";
        break;
    case ArgKind::TEXT_REC:
        if (auto r = guest_record<gui_text>(m, addr))
            return "{x=" + std::to_string(r->x) + ", y=" + std::to_string(r->y) + ", color=" + colour(r->color)
                + ", text=" + cstring(m, r->text) + "}";
        break;
    case ArgKind::EVENT_REC: // filled by the call: shown only when it was
        if (auto r = guest_record<gui_event>(m, addr); r && answer > 0)
            return "{type=" + std::to_string(r->type) + ", code=" + std::to_string(r->code) + "}";
        break;
    default: break;
    }
    return pointer(addr);
}

// One argument as its kind says; nothing for the registers a call does not use.
std::optional<std::string> argument(
    const GuestMemory& m, const CallRecord& c, ArgKind kind, uint32_t value, uint32_t next)
{
    switch (kind) {
    case ArgKind::NONE:
    case ArgKind::ZERO: return std::nullopt;
    case ArgKind::FD:
    case ArgKind::INT:
    case ArgKind::HANDLE: return std::to_string(int32_t(value));
    case ArgKind::UINT:
    case ArgKind::LEN:
    case ArgKind::FLAG:
    case ArgKind::EVENT_SIZE: return std::to_string(value);
    case ArgKind::WORD:
    case ArgKind::PTR: return hex(value);
    case ArgKind::OPEN_FLAGS: return open_flags(value);
    case ArgKind::OPEN_MODE: return value ? open_flags(value) : "0"; // the flags again, when they create
    case ArgKind::PATH:
    case ArgKind::STR: return cstring(m, value);
    case ArgKind::IN_BUF: return buffer(m, value, next);
    case ArgKind::OUT_BUF: return c.answer > 0 ? buffer(m, value, c.answer) : pointer(value);
    case ArgKind::OUT_STR: return c.answer > 0 ? cstring(m, value) : pointer(value);
    case ArgKind::FD_PAIR: {
        int32_t fds[2];
        uint8_t words[8];
        if (c.answer != 0 || !m.peek(value, words))
            return pointer(value);
        std::memcpy(fds, words, sizeof fds);
        char shown[32];
        std::snprintf(shown, sizeof shown, "[%d, %d]", fds[0], fds[1]);
        return shown;
    }
    case ArgKind::COLOR_REC:
    case ArgKind::RECT_REC:
    case ArgKind::TEXT_REC:
    case ArgKind::EVENT_REC: return record(m, kind, value, c.answer);
    }
    return hex(value);
}

std::string result(const CallRecord& c)
{
    if (c.in.eax == VEKOS_SYS_exit && !c.injected)
        return "?"; // the exit call never answers
    std::string out = std::to_string(c.answer);
    const char* name = c.answer < 0 ? error_name(-c.answer) : nullptr;
    if (name)
        out += std::string(" ") + name;
    if (c.injected)
        return out + " (injected)";
    if (!c.provided)
        return out + " (not implemented)";
    if (name)
        out += std::string(" (") + std::strerror(-c.answer) + ")";
    return out;
}

// What a write on descriptor 1 carries when it is a console control record.
std::optional<std::string> control_record(const GuestMemory& m, const CallRecord& c)
{
    uint8_t bytes[kControlRecordSize];
    if (c.in.eax != VEKOS_SYS_write || c.in.ebx != 1 || c.in.edx != kControlRecordSize || !m.peek(c.in.ecx, bytes))
        return std::nullopt;
    const std::optional<uint32_t> colour = control_record_colour(bytes);
    if (!colour)
        return std::nullopt;
    char shown[48];
    std::snprintf(shown, sizeof shown, "{console color=0x%06x}", *colour);
    return shown;
}

} // namespace

std::string quote_bytes(std::string_view bytes, size_t limit)
{
    std::string out = "\"";
    size_t n = std::min(bytes.size(), limit);
    for (size_t i = 0; i < n; ++i) {
        unsigned char ch = static_cast<unsigned char>(bytes[i]);
        switch (ch) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (ch >= 0x20 && ch < 0x7f) {
                out += char(ch);
            } else {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02x", ch);
                out += esc;
            }
        }
    }
    out += '"';
    if (bytes.size() > limit)
        out += "...";
    return out;
}

const char* error_name(int32_t error)
{
    // Only the numbers a kernel answers with: glibc's names are Linux's, and so are vekos's.
    return error > 0 && error < 4096 ? strerrorname_np(error) : nullptr;
}

std::optional<int32_t> error_number(std::string_view name)
{
    for (int32_t e = 1; e < 256; ++e)
        if (const char* n = strerrorname_np(e); n && name == n)
            return e;
    return std::nullopt;
}

std::string format_call(const GuestMemory& memory, const CallRecord& call)
{
    const CallInfo* info = find_call(call.in.eax);
    const uint32_t regs[3] = {call.in.ebx, call.in.ecx, call.in.edx};
    std::string args;
    for (int i = 0; i < 3; ++i) {
        // A call not provided, or not in the table, shows its registers raw.
        std::optional<std::string> shown = info && call.provided
            ? argument(memory, call, info->args[size_t(i)], regs[i], i < 2 ? regs[i + 1] : 0)
            : hex(regs[i]);
        if (!shown)
            continue;
        if (!args.empty())
            args += ", ";
        args += *shown;
    }
    if (const auto record = call.provided ? control_record(memory, call) : std::nullopt)
        args = "1, " + *record + ", 4";
    const std::string name = info ? std::string(info->name) : "call" + std::to_string(call.in.eax);
    return name + "(" + args + ") = " + result(call);
}

} // namespace vekos
