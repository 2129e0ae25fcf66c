#include "debug/gdb_protocol.h"

#include "debug/gdb_hex.h"
#include "debug/gdb_registers.h"

#include <utility>

namespace vekos::gdb {
namespace {

using namespace request;

constexpr std::string_view features_read_prefix = "qXfer:features:read:";
constexpr std::string_view supported_prefix = "qSupported";
constexpr std::string_view all_threads = "-1";

// `text` cut at the first `sep`: what is before it and what is after it.
std::optional<std::pair<std::string_view, std::string_view>> split(std::string_view text, char sep)
{
    size_t at = text.find(sep);
    if (at == std::string_view::npos)
        return std::nullopt;
    return std::pair{text.substr(0, at), text.substr(at + 1)};
}

// "addr,len"
std::optional<std::pair<uint32_t, uint32_t>> address_and_length(std::string_view text)
{
    auto parts = split(text, ',');
    if (!parts)
        return std::nullopt;
    auto address = parse_hex_u32(parts->first), length = parse_hex_u32(parts->second);
    if (!address || !length)
        return std::nullopt;
    return std::pair{*address, *length};
}

bool names_our_thread(std::string_view id)
{
    auto number = parse_hex_u32(id);
    return id == all_threads || (number && (*number == 0 || *number == the_thread));
}

Request parse_read_memory(std::string_view args)
{
    auto range = address_and_length(args);
    if (!range)
        return Malformed{"m wants ADDR,LENGTH in hexadecimal"};
    if (range->second > max_memory_read)
        return Malformed{"m asks for more than one reply can carry"};
    return ReadMemory{range->first, range->second};
}

// M addr,len:hex (hex data) or X addr,len:bin (escaped binary data).
Request parse_write_memory(std::string_view args, bool binary)
{
    auto head_and_data = split(args, ':');
    auto range = head_and_data ? address_and_length(head_and_data->first) : std::nullopt;
    if (!range)
        return Malformed{"memory writes want ADDR,LENGTH:DATA"};
    auto data = binary ? unescape_binary(head_and_data->second) : decode_hex(head_and_data->second);
    if (!data)
        return Malformed{binary ? "X data ends in the middle of an escape" : "M data is not whole hexadecimal bytes"};
    if (data->size() != range->second)
        return Malformed{"memory write data does not match its length"};
    return WriteMemory{range->first, std::move(*data)};
}

std::optional<unsigned> register_number(std::string_view text)
{
    auto number = parse_hex_u32(text);
    if (!number || *number >= register_count)
        return std::nullopt;
    return unsigned(*number);
}

Request parse_write_register(std::string_view args)
{
    auto parts = split(args, '=');
    auto number = parts ? register_number(parts->first) : std::nullopt;
    if (!number)
        return Malformed{"P wants a register number below " + std::to_string(register_count) + "=VALUE"};
    auto value = decode_hex(parts->second);
    if (!value || value->size() != register_size(*number))
        return Malformed{"P value does not have the register's size"};
    return WriteRegister{*number, std::move(*value)};
}

Request parse_write_registers(std::string_view args)
{
    auto bytes = decode_hex(args);
    if (!bytes || bytes->size() != register_block_size)
        return Malformed{"G wants " + std::to_string(register_block_size) + " bytes in hexadecimal"};
    return WriteRegisters{std::move(*bytes)};
}

// c [addr], s [addr], C sig[;addr], S sig[;addr]
Request parse_resume(ResumeMode mode, bool with_signal, std::string_view args)
{
    Resume resume{mode, std::nullopt, 0};
    if (with_signal) {
        auto parts = split(args, ';');
        auto signal = parse_hex_u32(parts ? parts->first : args);
        if (!signal || *signal > UINT8_MAX)
            return Malformed{"C and S want a signal number of two hexadecimal digits"};
        resume.signal = uint8_t(*signal);
        args = parts ? parts->second : std::string_view{};
        if (parts && args.empty())
            return Malformed{"C and S want an address after ';'"};
    }
    if (!args.empty() && !(resume.address = parse_hex_u32(args)))
        return Malformed{"the resume address is not a 32-bit hexadecimal number"};
    return resume;
}

// vCont;ACTION[:THREAD]...: the first action that names our thread (or all) wins.
Request parse_vcont(std::string_view actions)
{
    while (!actions.empty()) {
        auto rest = split(actions, ';');
        std::string_view action = rest ? rest->first : actions;
        actions = rest ? rest->second : std::string_view{};
        auto with_thread = split(action, ':');
        if (with_thread && !names_our_thread(with_thread->second))
            continue;
        std::string_view verb = with_thread ? with_thread->first : action;
        bool step = verb.starts_with('s') || verb.starts_with('S');
        bool with_signal = verb.starts_with('C') || verb.starts_with('S');
        if (!(verb == "c" || verb == "s" || (with_signal && verb.size() > 1)))
            return Malformed{"vCont action '" + std::string(verb) + "' is not c, Csig, s or Ssig"};
        return parse_resume(step ? ResumeMode::step : ResumeMode::cont, with_signal, verb.substr(1));
    }
    return Malformed{"vCont names no action for thread 1"};
}

Request parse_breakpoint(bool insert, std::string_view args)
{
    auto type_and_rest = split(args, ',');
    auto type = type_and_rest ? parse_hex_u32(type_and_rest->first) : std::nullopt;
    auto range = type_and_rest ? address_and_length(type_and_rest->second) : std::nullopt;
    constexpr uint32_t highest_type = uint32_t(BreakpointKind::access_watch);
    if (!type || *type > highest_type || !range)
        return Malformed{"Z and z want TYPE,ADDR,KIND with TYPE 0 to 4"};
    return Breakpoint{insert, BreakpointKind(*type), range->first, range->second};
}

Request parse_features_read(std::string_view args)
{
    auto annex_and_range = split(args, ':');
    auto range = annex_and_range ? address_and_length(annex_and_range->second) : std::nullopt;
    if (!range)
        return Malformed{"qXfer:features:read wants ANNEX:OFFSET,LENGTH"};
    return ReadFeatures{std::string(annex_and_range->first), range->first, range->second};
}

Request parse_supported(std::string_view features)
{
    Supported supported;
    while (!features.empty()) {
        auto rest = split(features, ';');
        std::string_view feature = rest ? rest->first : features;
        features = rest ? rest->second : std::string_view{};
        supported.swbreak = supported.swbreak || feature == "swbreak+";
        supported.hwbreak = supported.hwbreak || feature == "hwbreak+";
    }
    return supported;
}

Request parse_query(std::string_view payload)
{
    if (payload.starts_with(supported_prefix)) {
        std::string_view rest = payload.substr(supported_prefix.size());
        if (rest.empty() || rest[0] == ':')
            return parse_supported(rest.empty() ? rest : rest.substr(1));
    }
    if (payload.starts_with(features_read_prefix))
        return parse_features_read(payload.substr(features_read_prefix.size()));
    if (payload == "qAttached" || payload.starts_with("qAttached:"))
        return Attached{};
    if (payload == "qC")
        return CurrentThread{};
    if (payload == "qfThreadInfo" || payload == "qsThreadInfo")
        return ThreadList{payload[1] == 'f'};
    return Unsupported{};
}

Request parse_v_packet(std::string_view payload)
{
    if (payload == "vCont?")
        return ResumeActions{};
    if (payload.starts_with("vCont;"))
        return parse_vcont(payload.substr(std::string_view("vCont;").size()));
    return Unsupported{};  // vMustReplyEmpty among them
}

Request parse_set_thread(std::string_view args)
{
    if (args.size() < 2 || (args[0] != 'g' && args[0] != 'c'))
        return Unsupported{};
    return SetThread{names_our_thread(args.substr(1))};
}

} // namespace

Request parse_request(std::string_view payload)
{
    if (payload.empty())
        return Unsupported{};
    std::string_view args = payload.substr(1);
    switch (payload[0]) {
    case '?': return HaltReason{};
    case 'g': return ReadRegisters{};
    case 'G': return parse_write_registers(args);
    case 'p':
        if (auto number = register_number(args))
            return ReadRegister{*number};
        return Malformed{"p wants a register number below " + std::to_string(register_count)};
    case 'P': return parse_write_register(args);
    case 'm': return parse_read_memory(args);
    case 'M': return parse_write_memory(args, false);
    case 'X': return parse_write_memory(args, true);
    case 'c': return parse_resume(ResumeMode::cont, false, args);
    case 's': return parse_resume(ResumeMode::step, false, args);
    case 'C': return parse_resume(ResumeMode::cont, true, args);
    case 'S': return parse_resume(ResumeMode::step, true, args);
    case 'Z': return parse_breakpoint(true, args);
    case 'z': return parse_breakpoint(false, args);
    case 'k': return Kill{};
    case 'D': return Detach{};
    case 'H': return parse_set_thread(args);
    case 'T': return ThreadAlive{parse_hex_u32(args) == the_thread};
    case 'q': return parse_query(payload);
    case 'Q': return payload == "QStartNoAckMode" ? Request{StartNoAck{}} : Request{Unsupported{}};
    case 'v': return parse_v_packet(payload);
    default: return Unsupported{};
    }
}

} // namespace vekos::gdb
