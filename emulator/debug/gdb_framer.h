// The wire layer of the GDB remote protocol: `$payload#cs` packets, the
// acknowledgements `+` and `-`, and the interrupt byte 0x03.
//
// The framer is fed whatever the socket gave and hands back complete events.
// It never holds more than one packet's worth of payload: a packet longer
// than the limit is read to its end and reported as oversized, its content
// dropped.  Bytes between packets that mean nothing are skipped, as GDB's
// own reader does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::gdb {

// The longest payload (the bytes between `$` and `#`, as sent) either side
// sends; advertised to GDB as PacketSize.
constexpr size_t max_packet_payload = 16 * 1024;

constexpr uint8_t packet_start = '$';
constexpr uint8_t packet_end = '#';
constexpr uint8_t ack_byte = '+';
constexpr uint8_t nack_byte = '-';
constexpr uint8_t interrupt_byte = 0x03;

struct FrameEvent {
    enum class Kind {
        packet,        // a whole packet with a good checksum: payload holds it
        ack,           // '+'
        nack,          // '-': the peer asks for the last packet again
        interrupt,     // 0x03 outside a packet: stop the program
        bad_checksum,  // the checksum did not match: ask again
        malformed,     // the checksum digits are not hexadecimal, or a `$` cut the packet short
        oversized,     // the packet ran past the limit
    };
    Kind kind;
    std::string payload;  // raw, still escaped where binary data is escaped

    bool operator==(const FrameEvent&) const = default;
};

class PacketFramer {
public:
    explicit PacketFramer(size_t max_payload = max_packet_payload) : max_payload_(max_payload) {}

    // Appends to `out` one event per complete unit in `bytes`; a packet cut
    // off at the end is kept and completed by the next call.
    void feed(std::span<const uint8_t> bytes, std::vector<FrameEvent>& out);

private:
    enum class State { idle, payload, checksum_high, checksum_low };
    void feed_idle(uint8_t byte, std::vector<FrameEvent>& out);
    void feed_payload(uint8_t byte, std::vector<FrameEvent>& out);
    void feed_checksum(uint8_t byte, std::vector<FrameEvent>& out);
    void start_packet();

    size_t max_payload_;
    State state_ = State::idle;
    std::string payload_;
    bool oversized_ = false;
    uint8_t sum_ = 0;           // of the payload bytes as received
    int sent_sum_ = 0;          // the checksum digits read so far
    bool bad_digit_ = false;
};

// The modulo-256 sum of the bytes.
uint8_t packet_checksum(std::string_view payload);

// `$payload#cs`.  The payload goes as it is: callers escape binary data.
std::string frame_packet(std::string_view payload);

} // namespace vekos::gdb
