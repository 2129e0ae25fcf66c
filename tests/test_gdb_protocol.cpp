// The GDB stub's wire layer where real GDB never goes: damaged framing,
// requests that must be refused, and the exact bytes of the replies whose
// corner cases a debugging session does not reach.
#include "debug/gdb_framer.h"
#include "debug/gdb_protocol.h"
#include "debug/gdb_registers.h"
#include "debug/gdb_replies.h"

#include <gtest/gtest.h>

namespace vekos::gdb {
namespace {

using Kind = FrameEvent::Kind;
using namespace request;

std::span<const uint8_t> bytes_of(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

// Fed whole and byte by byte: a packet may arrive split anywhere.
TEST(GdbFramer, EventsWholeAndByteByByte)
{
    const std::vector<std::pair<std::string, std::vector<FrameEvent>>> rows = {
        {"+-\x03noise$?#3F", {{Kind::ack, ""}, {Kind::nack, ""}, {Kind::interrupt, ""}, {Kind::packet, "?"}}},
        {"$g#68", {{Kind::bad_checksum, ""}}}, {"$g#6z", {{Kind::malformed, ""}}}, {"$abc", {}},
        {"$ab$g#67", {{Kind::malformed, ""}, {Kind::packet, "g"}}},
        {"$ab}]#9d", {{Kind::packet, "ab}]"}}},  // the checksum covers the escaped bytes
        {"$abcde#ef$c#63", {{Kind::oversized, ""}, {Kind::packet, "c"}}},
    };
    for (const auto& [input, expected] : rows) {
        SCOPED_TRACE(input);
        PacketFramer whole(4), bytewise(4);  // payloads of 4 bytes at most
        std::vector<FrameEvent> at_once, one_by_one;
        whole.feed(bytes_of(input), at_once);
        for (size_t i = 0; i < input.size(); ++i)
            bytewise.feed(bytes_of(input).subspan(i, 1), one_by_one);
        EXPECT_EQ(at_once, expected);
        EXPECT_EQ(one_by_one, expected);
    }
}

// The limits of what is accepted, then what must be refused.
TEST(GdbParser, BoundariesAndRefusals)
{
    const std::vector<std::pair<std::string, Request>> accepted = {
        {"m0,2000", ReadMemory{0, 0x2000}}, {"mFFFFFFFF,1", ReadMemory{0xffffffff, 1}},
        {"m00000000000000ff,1", ReadMemory{0xff, 1}}, {"M1000,2:aBcd", WriteMemory{0x1000, {0xab, 0xcd}}},
        {"X10,3:}]}\x03z", WriteMemory{0x10, {'}', '#', 'z'}}},
        {"p1f", ReadRegister{31}}, {"P8=78563412", WriteRegister{8, {0x78, 0x56, 0x34, 0x12}}},
        {"G" + std::string(register_block_size * 2, '0'), WriteRegisters{std::vector<uint8_t>(register_block_size)}},
        {"C0b", Resume{ResumeMode::cont, {}, 11}}, {"S05;100", Resume{ResumeMode::step, 0x100, 5}},
        {"vCont;c:2;S05:-1", Resume{ResumeMode::step, {}, 5}},  // the first action for our thread
        {"Z4,2000,4", Breakpoint{true, BreakpointKind::access_watch, 0x2000, 4}},
        {"Hg2", SetThread{false}}, {"", Unsupported{}},
    };
    for (const auto& [payload, expected] : accepted)
        EXPECT_TRUE(parse_request(payload) == expected) << payload;
    for (const char* payload : {"m,4", "m100000000,4", "m1,2001", "m1;4", "m0x10,1", "m-1,1", "M1,2:abc", "M1,2:ab",
                                "M1,1:0g", "X1,1:}", "p20", "P8=1234", "P8", "G00", "Z5,0,1", "Z0,1", "c12x", "C100",
                                "S05;", "vCont;x", "vCont;c:2", "vCont;cc", "qXfer:features:read:target.xml:0"})
        EXPECT_TRUE(std::holds_alternative<Malformed>(parse_request(payload))) << payload;
}

TEST(GdbReplies, ExactBytes)
{
    const std::string xml = "ab}cdef";
    const std::string root = R"(<?xml version="1.0"?><!DOCTYPE target SYSTEM "gdb-target.dtd"><target version="1.0">)"
                             R"(<architecture>i386</architecture><feature name="org.gnu.gdb.i386.core">)";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {reply_stop({StopEvent::Kind::signalled, signal::interrupt}, {}), "T02thread:1;"},
        {reply_stop({StopEvent::Kind::breakpoint}, {}), "T05thread:1;"},  // GDB did not say it knows swbreak
        {reply_stop({StopEvent::Kind::hw_breakpoint}, {true, true}), "T05hwbreak:;thread:1;"},
        {reply_stop({StopEvent::Kind::watchpoint, signal::trap, 0, 0x10, BreakpointKind::access_watch}, {}),
         "T05awatch:10;thread:1;"},
        {reply_xfer_chunk(xml, 1, 3, 100), "mb}]c"}, {reply_xfer_chunk(xml, 4, 100, 100), "ldef"},
        {reply_xfer_chunk(xml, 7, 1, 100), "l"}, {reply_xfer_chunk(xml, 8, 1, 100), "E05"},
        {reply_xfer_chunk(xml, 0, 100, 3), "mab"}, {reply_xfer_chunk(xml, 1, 100, 3), "mb"},  // escapes stay whole
        {target_description_xml().substr(0, root.size()), root},
    };
    for (const auto& [got, expected] : rows)
        EXPECT_EQ(got, expected);
}

} // namespace
} // namespace vekos::gdb
