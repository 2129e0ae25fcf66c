// The stub's answers, as packet payloads (frame_packet() wraps them).
#pragma once

#include "debug/gdb_target.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vekos::gdb {

// The numbers of `Exx` replies; GDB shows the failed command, not the number.
enum class ErrorCode : uint8_t {
    bad_annex = 0x00,          // qXfer of a document this stub does not have
    malformed = 0x01,          // the request could not be parsed
    oversized = 0x02,          // the packet was longer than PacketSize
    register_failed = 0x03,    // a register could not be written
    breakpoint_failed = 0x04,  // the target could not set or clear it
    bad_offset = 0x05,         // qXfer offset past the end of the document
    memory_fault = 0x0e,       // no byte at the address could be read or written
};

std::string reply_ok();
std::string reply_error(ErrorCode code);

// What the stub offers in answer to qSupported.
std::string reply_supported();
// vCont? : continue and step, with or without a signal.
std::string reply_resume_actions();

// T05thread:1; for a stop; swbreak:/hwbreak:/watch: name the cause when GDB
// said it understands them.  W for an exit, X for a program ended by a signal.
struct StopReplyOptions {
    bool swbreak = false;
    bool hwbreak = false;
};
std::string reply_stop(const StopEvent& stop, StopReplyOptions options);

// A register's bytes in hex, or "xx" per byte when it is unavailable.
void append_register(std::string& out, std::span<const uint8_t> value, bool available);

// Memory as hex; an error when nothing could be read.
std::string reply_memory(std::span<const uint8_t> bytes);

// One qXfer chunk of `document`: `m` and data when more follows, `l` and
// data at the end; data escaped and cut so the whole reply fits max_payload.
std::string reply_xfer_chunk(std::string_view document, uint32_t offset, uint32_t length,
                             size_t max_payload);

std::string reply_current_thread();             // QC1
std::string reply_thread_list(bool first);      // m1, then l
std::string reply_attached(bool attached);      // 1: ours to detach from, 0: ours to kill

} // namespace vekos::gdb
