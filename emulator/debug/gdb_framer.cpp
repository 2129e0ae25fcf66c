#include "debug/gdb_framer.h"

#include "debug/gdb_hex.h"

namespace vekos::gdb {

uint8_t packet_checksum(std::string_view payload)
{
    uint8_t sum = 0;
    for (char c : payload)
        sum = uint8_t(sum + uint8_t(c));
    return sum;
}

std::string frame_packet(std::string_view payload)
{
    std::string out;
    out.reserve(payload.size() + 4);
    out += char(packet_start);
    out += payload;
    out += char(packet_end);
    append_hex_byte(out, packet_checksum(payload));
    return out;
}

void PacketFramer::feed(std::span<const uint8_t> bytes, std::vector<FrameEvent>& out)
{
    for (uint8_t byte : bytes) {
        switch (state_) {
        case State::idle: feed_idle(byte, out); break;
        case State::payload: feed_payload(byte, out); break;
        case State::checksum_high:
        case State::checksum_low: feed_checksum(byte, out); break;
        }
    }
}

void PacketFramer::start_packet()
{
    state_ = State::payload;
    payload_.clear();
    oversized_ = false;
    sum_ = 0;
    sent_sum_ = 0;
    bad_digit_ = false;
}

void PacketFramer::feed_idle(uint8_t byte, std::vector<FrameEvent>& out)
{
    switch (byte) {
    case packet_start: start_packet(); break;
    case ack_byte: out.push_back({FrameEvent::Kind::ack, {}}); break;
    case nack_byte: out.push_back({FrameEvent::Kind::nack, {}}); break;
    case interrupt_byte: out.push_back({FrameEvent::Kind::interrupt, {}}); break;
    default: break;  // noise between packets
    }
}

void PacketFramer::feed_payload(uint8_t byte, std::vector<FrameEvent>& out)
{
    if (byte == packet_start) {  // the packet was cut short: a new one starts
        out.push_back({FrameEvent::Kind::malformed, {}});
        start_packet();
        return;
    }
    if (byte == packet_end) {
        state_ = State::checksum_high;
        return;
    }
    sum_ = uint8_t(sum_ + byte);
    if (payload_.size() < max_payload_)
        payload_ += char(byte);
    else
        oversized_ = true;
}

void PacketFramer::feed_checksum(uint8_t byte, std::vector<FrameEvent>& out)
{
    auto digit = parse_hex_u32(std::string_view(reinterpret_cast<const char*>(&byte), 1));
    bad_digit_ = bad_digit_ || !digit;
    sent_sum_ = sent_sum_ * 16 + int(digit.value_or(0));
    if (state_ == State::checksum_high) {
        state_ = State::checksum_low;
        return;
    }
    state_ = State::idle;
    using Kind = FrameEvent::Kind;
    if (bad_digit_)
        out.push_back({Kind::malformed, {}});
    else if (sent_sum_ != sum_)
        out.push_back({Kind::bad_checksum, {}});
    else if (oversized_)
        out.push_back({Kind::oversized, {}});
    else
        out.push_back({Kind::packet, std::move(payload_)});
    payload_.clear();
}

} // namespace vekos::gdb
