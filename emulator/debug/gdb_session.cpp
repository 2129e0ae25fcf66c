#include "debug/gdb_session.h"

#include "debug/gdb_registers.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vekos::gdb {
namespace {

constexpr size_t read_chunk = 4096;
// While the guest runs only the interrupt byte matters; anything else GDB
// sends waits for the stop, and beyond this much is dropped.
constexpr size_t max_pending_events = 64;
// The program was started by vekos-run, not attached to: quitting GDB kills it.
constexpr bool attached_to_running_program = false;

bool is_watchpoint(BreakpointKind kind)
{
    return kind != BreakpointKind::software && kind != BreakpointKind::hardware;
}

} // namespace

SessionEnd GdbSession::run()
{
    for (;;) {
        if (auto end = cycle())
            return *end;
    }
}

std::optional<SessionEnd> GdbSession::cycle()
{
    for (;;) {
        auto event = next_event();
        if (!event)
            return SessionEnd::disconnected;
        Decision decision = handle(*event);
        if (auto* end = std::get_if<SessionEnd>(&decision))
            return *end;
        if (auto* resume = std::get_if<request::Resume>(&decision))
            return run_guest(*resume);
    }
}

void GdbSession::read_into_pending(bool wait)
{
    std::array<uint8_t, read_chunk> buffer;
    auto count = transport_.read(buffer, wait);
    if (!count) {
        peer_gone_ = true;
        return;
    }
    std::vector<FrameEvent> events;
    framer_.feed(std::span(buffer).first(*count), events);
    pending_.insert(pending_.end(), std::make_move_iterator(events.begin()),
                    std::make_move_iterator(events.end()));
}

std::optional<FrameEvent> GdbSession::next_event()
{
    while (pending_.empty()) {
        if (peer_gone_)
            return std::nullopt;
        read_into_pending(true);
    }
    FrameEvent event = std::move(pending_.front());
    pending_.pop_front();
    return event;
}

bool GdbSession::interrupt_arrived()
{
    if (peer_gone_)
        return true;  // nobody to debug for: stop the guest and end
    read_into_pending(false);
    auto interrupt = std::find_if(pending_.begin(), pending_.end(),
                                  [](const FrameEvent& e) { return e.kind == FrameEvent::Kind::interrupt; });
    if (interrupt != pending_.end()) {
        pending_.erase(interrupt);
        return true;
    }
    if (pending_.size() > max_pending_events)
        pending_.resize(max_pending_events);
    return peer_gone_;
}

std::optional<SessionEnd> GdbSession::run_guest(const request::Resume& resume)
{
    last_stop_ = target_.resume(resume.mode, resume.address, [this] { return interrupt_arrived(); });
    if (peer_gone_)
        return SessionEnd::disconnected;
    send(reply_stop(last_stop_, stop_options_));
    if (last_stop_.ends_program())
        return SessionEnd::program_ended;
    return std::nullopt;
}

void GdbSession::send(std::string payload)
{
    last_packet_ = frame_packet(payload);
    transport_.write(last_packet_);
}

GdbSession::Decision GdbSession::answer(std::string payload)
{
    send(std::move(payload));
    return {};
}

void GdbSession::send_control(char byte)
{
    if (acks_)
        transport_.write(std::string_view(&byte, 1));
}

GdbSession::Decision GdbSession::handle(const FrameEvent& event)
{
    using Kind = FrameEvent::Kind;
    switch (event.kind) {
    case Kind::packet:
        send_control(char(ack_byte));
        return std::visit([this](const auto& request) { return serve(request); }, parse_request(event.payload));
    case Kind::nack:
        if (acks_ && !last_packet_.empty())
            transport_.write(last_packet_);
        return {};
    case Kind::bad_checksum:
    case Kind::malformed:
        send_control(char(nack_byte));
        return {};
    case Kind::oversized:
        send_control(char(ack_byte));
        send(reply_error(ErrorCode::oversized));
        return {};
    case Kind::ack:
    case Kind::interrupt:  // the guest is stopped already
        return {};
    }
    return {};
}

GdbSession::Decision GdbSession::serve(const request::HaltReason&)
{
    return answer(reply_stop(last_stop_, stop_options_));
}

GdbSession::Decision GdbSession::serve(const request::ReadRegisters&)
{
    std::string hex;
    hex.reserve(register_block_size * 2);
    for (unsigned n = 0; n < register_count; ++n) {
        std::array<uint8_t, x87_ext_bits / 8> value{};
        auto bytes = std::span(value).first(register_size(n));
        append_register(hex, bytes, target_.read_register(n, bytes));
    }
    return answer(std::move(hex));
}

GdbSession::Decision GdbSession::serve(const request::WriteRegisters& r)
{
    bool ok = true;
    for (unsigned n = 0; n < register_count; ++n)
        ok = target_.write_register(n, std::span(r.bytes).subspan(register_offset(n), register_size(n))) && ok;
    return answer(ok ? reply_ok() : reply_error(ErrorCode::register_failed));
}

GdbSession::Decision GdbSession::serve(const request::ReadRegister& r)
{
    std::array<uint8_t, x87_ext_bits / 8> value{};
    auto bytes = std::span(value).first(register_size(r.number));
    std::string hex;
    append_register(hex, bytes, target_.read_register(r.number, bytes));
    return answer(std::move(hex));
}

GdbSession::Decision GdbSession::serve(const request::WriteRegister& r)
{
    return answer(target_.write_register(r.number, r.bytes) ? reply_ok() : reply_error(ErrorCode::register_failed));
}

GdbSession::Decision GdbSession::serve(const request::ReadMemory& r)
{
    std::vector<uint8_t> bytes(r.length);
    bytes.resize(target_.read_memory(r.address, bytes));
    return answer(r.length == 0 ? std::string() : reply_memory(bytes));
}

GdbSession::Decision GdbSession::serve(const request::WriteMemory& r)
{
    bool whole = target_.write_memory(r.address, r.bytes) == r.bytes.size();
    return answer(whole ? reply_ok() : reply_error(ErrorCode::memory_fault));
}

GdbSession::Decision GdbSession::serve(const request::Resume& r) { return r; }

GdbSession::Decision GdbSession::serve(const request::ResumeActions&)
{
    return answer(reply_resume_actions());
}

// A watchpoint the target cannot keep gets the empty reply, so GDB watches
// by single-stepping instead; a breakpoint that fails is an error.
GdbSession::Decision GdbSession::serve(const request::Breakpoint& r)
{
    bool done = r.insert ? target_.insert_breakpoint(r.kind, r.address, r.length)
                         : target_.remove_breakpoint(r.kind, r.address, r.length);
    if (done)
        return answer(reply_ok());
    return answer(is_watchpoint(r.kind) ? std::string() : reply_error(ErrorCode::breakpoint_failed));
}

GdbSession::Decision GdbSession::serve(const request::Kill&)
{
    target_.kill();
    return SessionEnd::killed;
}

GdbSession::Decision GdbSession::serve(const request::Detach&)
{
    send(reply_ok());
    target_.detach();
    return SessionEnd::detached;
}

GdbSession::Decision GdbSession::serve(const request::Supported& r)
{
    stop_options_ = {r.swbreak, r.hwbreak};
    return answer(reply_supported());
}

GdbSession::Decision GdbSession::serve(const request::ReadFeatures& r)
{
    if (r.annex != target_xml_annex)
        return answer(reply_error(ErrorCode::bad_annex));
    return answer(reply_xfer_chunk(target_description_xml(), r.offset, r.length, max_packet_payload));
}

GdbSession::Decision GdbSession::serve(const request::Attached&)
{
    return answer(reply_attached(attached_to_running_program));
}

GdbSession::Decision GdbSession::serve(const request::CurrentThread&)
{
    return answer(reply_current_thread());
}

GdbSession::Decision GdbSession::serve(const request::ThreadList& r)
{
    return answer(reply_thread_list(r.first));
}

GdbSession::Decision GdbSession::serve(const request::SetThread& r)
{
    return answer(r.accepted ? reply_ok() : reply_error(ErrorCode::malformed));
}

GdbSession::Decision GdbSession::serve(const request::ThreadAlive& r)
{
    return answer(r.alive ? reply_ok() : reply_error(ErrorCode::malformed));
}

GdbSession::Decision GdbSession::serve(const request::StartNoAck&)
{
    send(reply_ok());
    acks_ = false;
    return {};
}

GdbSession::Decision GdbSession::serve(const request::Unsupported&)
{
    return answer({});
}

GdbSession::Decision GdbSession::serve(const request::Malformed&)
{
    return answer(reply_error(ErrorCode::malformed));
}

} // namespace vekos::gdb
