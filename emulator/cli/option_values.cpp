// The small languages some options speak: an injection ("write@3=-5") and a
// list of scripted keys ("200:q,300:Escape").
#include "cli/options.h"

#include "base/errors.h"
#include "kernel/calls.h"
#include "kernel/trace.h"

#include <cctype>
#include <charconv>
#include <algorithm>
#include <climits>

namespace vekos {
namespace {

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

std::optional<uint32_t> call_number(std::string_view call)
{
    uint32_t number = 0;
    auto [p, ec] = std::from_chars(call.data(), call.data() + call.size(), number);
    if (!call.empty() && ec == std::errc() && p == call.data() + call.size())
        return number;
    // sleep and usleep are one call, _exit is exit's wrapper.
    if (const CallInfo* info = find_call(call == "sleep" ? "usleep" : call == "_exit" ? "exit" : call))
        return info->number;
    return std::nullopt;
}

std::set<uint32_t> parse_call_list(std::string_view list)
{
    std::set<uint32_t> numbers;
    for (size_t start = 0; start <= list.size();) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string_view call = list.substr(start, end - start);
        const auto number = call_number(call);
        if (!number)
            throw UsageError("--trace-calls: '" + std::string(call) + "' is not a call name or number (e.g. open,write)");
        numbers.insert(*number);
        start = end + 1;
    }
    return numbers;
}

Injection parse_injection(std::string_view spec)
{
    auto bad = [&](const std::string& why) {
        return UsageError(
            "--inject " + std::string(spec) + ": " + why + " (expected CALL[@N]=ANSWER, e.g. write@3=-5 or open=ENOENT)");
    };
    const size_t eq = spec.find('=');
    if (eq == std::string_view::npos)
        throw bad("missing '='");
    std::string_view call = spec.substr(0, eq);
    const std::string_view answer = spec.substr(eq + 1);
    Injection inj;
    if (const size_t at = call.find('@'); at != std::string_view::npos) {
        const std::string_view n = call.substr(at + 1);
        uint64_t nth = 0;
        auto [p, ec] = std::from_chars(n.data(), n.data() + n.size(), nth);
        if (ec != std::errc() || p != n.data() + n.size() || nth == 0)
            throw bad("N must be a positive whole number");
        inj.nth = nth;
        call = call.substr(0, at);
    }
    if (call.empty())
        throw bad("no call named");
    if (const auto number = call_number(call))
        inj.number = *number;
    else
        throw bad("unknown call '" + std::string(call) + "'");
    int64_t value = 0;
    auto [q, ec2] = std::from_chars(answer.data(), answer.data() + answer.size(), value);
    if (const auto error = error_number(answer)) {
        inj.answer = -*error; // an error by name is answered as the kernel answers it
    } else {
        if (ec2 != std::errc() || q != answer.data() + answer.size() || value < INT32_MIN || value > UINT32_MAX)
            throw bad("ANSWER must be a 32-bit whole number or an error name such as ENOENT");
        inj.answer = int32_t(uint32_t(value));
    }
    return inj;
}

int32_t parse_key(std::string_view key)
{
    auto bad = [&](const std::string& why) { return UsageError("--keys: key '" + std::string(key) + "': " + why); };
    if (key.size() == 1)
        return static_cast<unsigned char>(key[0]);
    static const std::pair<const char*, int32_t> names[] = {
        {"escape", GUI_KEY_ESCAPE},
        {"esc", GUI_KEY_ESCAPE},
        {"enter", '\n'},
        {"return", '\n'},
        {"tab", '\t'},
        {"space", ' '},
        {"backspace", '\b'},
        {"delete", 0x7F},
        {"comma", ','},
    };
    const std::string name = lower(key);
    for (const auto& [n, code] : names)
        if (name == n)
            return code;
    int base = 10;
    std::string_view digits = key;
    if (name.starts_with("0x")) {
        base = 16;
        digits = key.substr(2);
    }
    int64_t value = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size())
        throw bad("expected one character, a key name (Escape, Enter, Tab, Space, Backspace, Delete, "
                  "Comma) or a code such as 0x3B or 27");
    if (value < INT32_MIN || value > INT32_MAX)
        throw bad("the code does not fit in 32 bits");
    return int32_t(value);
}

std::vector<ScriptedKey> parse_keys(std::string_view list)
{
    std::vector<ScriptedKey> keys;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        // "5:," is the key ',' itself.
        const size_t colon = list.find(':', start);
        if (colon != std::string_view::npos && comma == colon + 1)
            comma = list.find(',', comma + 1);
        const std::string_view entry = list.substr(start, comma == std::string_view::npos ? list.npos : comma - start);
        const size_t sep = entry.find(':');
        if (sep == std::string_view::npos || sep == 0 || sep + 1 == entry.size())
            throw UsageError("--keys: '" + std::string(entry) + "': expected FRAME:KEY, e.g. 200:q or 300:Escape");
        const std::string_view frame = entry.substr(0, sep);
        uint64_t n = 0;
        auto [p, ec] = std::from_chars(frame.data(), frame.data() + frame.size(), n);
        if (ec != std::errc() || p != frame.data() + frame.size() || n == 0)
            throw UsageError(
                "--keys: '" + std::string(entry) + "': FRAME must be a whole number from 1 (the first frame)");
        keys.push_back({n, parse_key(entry.substr(sep + 1))});
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return keys;
}

} // namespace vekos
