// What GDB asks of the stub: packet text parsed into typed requests.
//
// The parser trusts nothing: numbers that overflow 32 bits, hexadecimal with
// an odd digit count, lengths beyond what one reply can carry, data that
// does not match its stated length all come back as Malformed, with a reason
// for the log.  Packets this stub does not implement come back as
// Unsupported, answered with an empty reply as the protocol wants.
#pragma once

#include "debug/gdb_framer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vekos::gdb {

// The most memory one `m` may read: its hex must fit one reply packet.
constexpr uint32_t max_memory_read = max_packet_payload / 2;

// The one thread of a vekos process, as GDB's thread ids name it.
constexpr uint32_t the_thread = 1;

enum class ResumeMode { cont, step };

enum class BreakpointKind { software, hardware, write_watch, read_watch, access_watch };

namespace request {
// Requests are values: equal when every field is.
#define VEKOS_GDB_REQUEST_EQ(T) bool operator==(const T&) const = default

struct HaltReason { VEKOS_GDB_REQUEST_EQ(HaltReason); };          // ?
struct ReadRegisters { VEKOS_GDB_REQUEST_EQ(ReadRegisters); };    // g
struct WriteRegisters {                                           // G hex
    std::vector<uint8_t> bytes;
    VEKOS_GDB_REQUEST_EQ(WriteRegisters);
};
struct ReadRegister {                                             // p n
    unsigned number;
    VEKOS_GDB_REQUEST_EQ(ReadRegister);
};
struct WriteRegister {                                            // P n=hex
    unsigned number;
    std::vector<uint8_t> bytes;
    VEKOS_GDB_REQUEST_EQ(WriteRegister);
};
struct ReadMemory {                                               // m addr,len
    uint32_t address;
    uint32_t length;
    VEKOS_GDB_REQUEST_EQ(ReadMemory);
};
struct WriteMemory {                                              // M addr,len:hex and X addr,len:bin
    uint32_t address;
    std::vector<uint8_t> bytes;
    VEKOS_GDB_REQUEST_EQ(WriteMemory);
};
struct Resume {                                                   // c, s, C, S, vCont;...
    ResumeMode mode;
    std::optional<uint32_t> address;  // where to resume, when given
    uint8_t signal = 0;               // what C/S asked to deliver (vekos has no signals to deliver)
    VEKOS_GDB_REQUEST_EQ(Resume);
};
struct ResumeActions { VEKOS_GDB_REQUEST_EQ(ResumeActions); };    // vCont?
struct Breakpoint {                                               // Z/z type,addr,kind
    bool insert;
    BreakpointKind kind;
    uint32_t address;
    uint32_t length;  // the breakpoint kind (1 for int3) or the watched length
    VEKOS_GDB_REQUEST_EQ(Breakpoint);
};
struct Kill { VEKOS_GDB_REQUEST_EQ(Kill); };                      // k
struct Detach { VEKOS_GDB_REQUEST_EQ(Detach); };                  // D
struct Supported {                                                // qSupported[:features]
    bool swbreak = false;  // GDB understands stop replies that name the breakpoint kind
    bool hwbreak = false;
    VEKOS_GDB_REQUEST_EQ(Supported);
};
struct ReadFeatures {                                             // qXfer:features:read:annex:off,len
    std::string annex;
    uint32_t offset;
    uint32_t length;
    VEKOS_GDB_REQUEST_EQ(ReadFeatures);
};
struct Attached { VEKOS_GDB_REQUEST_EQ(Attached); };              // qAttached
struct CurrentThread { VEKOS_GDB_REQUEST_EQ(CurrentThread); };    // qC
struct ThreadList {                                               // qfThreadInfo / qsThreadInfo
    bool first;
    VEKOS_GDB_REQUEST_EQ(ThreadList);
};
struct SetThread {                                                // Hg/Hc: ours, 0 (any) or -1 (all)
    bool accepted;
    VEKOS_GDB_REQUEST_EQ(SetThread);
};
struct ThreadAlive {                                              // T id
    bool alive;
    VEKOS_GDB_REQUEST_EQ(ThreadAlive);
};
struct StartNoAck { VEKOS_GDB_REQUEST_EQ(StartNoAck); };          // QStartNoAckMode
struct Unsupported { VEKOS_GDB_REQUEST_EQ(Unsupported); };        // anything else: empty reply
struct Malformed {                                                // answered with an error
    std::string reason;
    VEKOS_GDB_REQUEST_EQ(Malformed);
};

#undef VEKOS_GDB_REQUEST_EQ
} // namespace request

using Request = std::variant<
    request::HaltReason, request::ReadRegisters, request::WriteRegisters, request::ReadRegister,
    request::WriteRegister, request::ReadMemory, request::WriteMemory, request::Resume,
    request::ResumeActions, request::Breakpoint, request::Kill, request::Detach, request::Supported,
    request::ReadFeatures, request::Attached, request::CurrentThread, request::ThreadList,
    request::SetThread, request::ThreadAlive, request::StartNoAck, request::Unsupported,
    request::Malformed>;

// `payload` is a packet's content as received (binary data still escaped).
Request parse_request(std::string_view payload);

} // namespace vekos::gdb
