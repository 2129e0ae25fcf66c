#include "trace.h"

#include "calls.h"
#include "guest_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vekos {
namespace {

constexpr uint32_t kMaxShownPath = 4096;

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string pointer(uint32_t v) { return v == 0 ? "NULL" : hex(v); }

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
    constexpr int64_t kShown = 32;
    std::vector<uint8_t> bytes(size_t(std::min(len, kShown)));
    if (!m.peek(addr, bytes))
        return hex(addr);
    return quote_bytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) +
           (len > kShown ? "..." : "");
}

std::string signed_(uint32_t v) { return std::to_string(int32_t(v)); }
std::string unsigned_(uint32_t v) { return std::to_string(v); }

std::string arguments(const GuestMemory& m, const CallRecord& c)
{
    const CallRegs& r = c.in;
    auto join = [](std::initializer_list<std::string> parts) {
        std::string out;
        for (const std::string& p : parts) {
            if (!out.empty())
                out += ", ";
            out += p;
        }
        return out;
    };
    std::string raw = join({hex(r.ebx), hex(r.ecx), hex(r.edx)});
    if (!c.implemented)
        return raw;
    switch (r.eax) {
    case VEKOS_SYS_write:
        return join({signed_(r.ebx), buffer(m, r.ecx, r.edx), unsigned_(r.edx)});
    case VEKOS_SYS_read:
        return join({signed_(r.ebx), c.answer > 0 ? buffer(m, r.ecx, c.answer) : pointer(r.ecx),
                     unsigned_(r.edx)});
    case VEKOS_SYS_exit:
    case VEKOS_SYS_close:
    case VEKOS_SYS_dup:
    case VEKOS_SYS_vekfs_stream_end:
        return signed_(r.ebx);
    case VEKOS_SYS_dup2:  // two arguments; edx is only the wrapper's zero
        return join({signed_(r.ebx), signed_(r.ecx)});
    case VEKOS_SYS_open: {
        char flags[16];
        std::snprintf(flags, sizeof flags, "%#x", r.ecx);
        char third[16];
        std::snprintf(third, sizeof third, "%#x", r.edx);
        return join({cstring(m, r.ebx), flags, third});
    }
    case VEKOS_SYS_writefile:
        return join({cstring(m, r.ebx), buffer(m, r.ecx, r.edx), unsigned_(r.edx)});
    case VEKOS_SYS_vekfs_stream_write:
        return join({signed_(r.ebx), buffer(m, r.ecx, r.edx), unsigned_(r.edx)});
    case VEKOS_SYS_usleep:
        return unsigned_(r.ebx);
    case VEKOS_SYS_mkdir:
    case VEKOS_SYS_unlink:
    case VEKOS_SYS_rmdir:
    case VEKOS_SYS_chdir:
    case VEKOS_SYS_vekfs_stream_begin:
        return cstring(m, r.ebx);
    case VEKOS_SYS_getcwd:
        return join({c.answer > 0 ? cstring(m, r.ebx) : pointer(r.ebx), unsigned_(r.ecx)});
    case VEKOS_SYS_lseek:
        return join({signed_(r.ebx), signed_(r.ecx), signed_(r.edx)});
    case VEKOS_SYS_pipe: {
        uint8_t words[8];
        if (c.answer == 0 && m.peek(r.ebx, words)) {
            int32_t fds[2];
            std::memcpy(fds, words, sizeof fds);
            return "[" + std::to_string(fds[0]) + ", " + std::to_string(fds[1]) + "]";
        }
        return pointer(r.ebx);
    }
    default:
        return raw;
    }
}

std::string result(const CallRecord& c)
{
    std::string out = std::to_string(c.answer);
    if (c.injected)
        return out + " (injected)";
    if (!c.implemented)
        return out + " (not implemented)";
    if (c.answer < 0 && c.answer > -4096) {
        const char* text = std::strerror(-c.answer);
        if (text)
            out += std::string(" (") + text + ")";
    }
    return out;
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

std::string format_call(const GuestMemory& memory, const CallRecord& call)
{
    auto name = call_name(call.in.eax);
    std::string head = name ? std::string(*name) : "call" + std::to_string(call.in.eax);
    return head + "(" + arguments(memory, call) + ") = " + result(call);
}

} // namespace vekos
