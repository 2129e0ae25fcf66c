// The GDB stub's wire layer: framing, request parsing and reply encoding,
// byte for byte.
#include "debug/gdb_framer.h"
#include "debug/gdb_hex.h"
#include "debug/gdb_protocol.h"
#include "debug/gdb_registers.h"
#include "debug/gdb_replies.h"

#include <gtest/gtest.h>

namespace vekos::gdb {
namespace {

using Kind = FrameEvent::Kind;
using namespace request;

std::span<const uint8_t> bytes_of(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(GdbFramer, EventsWholeAndByteByByte)
{
    constexpr size_t limit = 4;
    const std::vector<std::pair<std::string, std::vector<FrameEvent>>> rows = {
        {"$g#67", {{Kind::packet, "g"}}},
        {"+-\x03", {{Kind::ack, ""}, {Kind::nack, ""}, {Kind::interrupt, ""}}},
        {"noise$?#3F", {{Kind::packet, "?"}}},
        {"$#00", {{Kind::packet, ""}}},
        {"$g#68", {{Kind::bad_checksum, ""}}},
        {"$g#6z", {{Kind::malformed, ""}}},
        {"$ab$g#67", {{Kind::malformed, ""}, {Kind::packet, "g"}}},
        {"$ab}]#9d", {{Kind::packet, "ab}]"}}},              // escapes stay for the parser
        {"$abcde#ef$c#63", {{Kind::oversized, ""}, {Kind::packet, "c"}}},
        {"$abc", {}},                                         // waits for the rest
    };
    for (const auto& [input, expected] : rows) {
        SCOPED_TRACE(input);
        PacketFramer whole(limit), bytewise(limit);
        std::vector<FrameEvent> at_once, one_by_one;
        whole.feed(bytes_of(input), at_once);
        for (size_t i = 0; i < input.size(); ++i)
            bytewise.feed(bytes_of(input).subspan(i, 1), one_by_one);
        EXPECT_EQ(at_once, expected);
        EXPECT_EQ(one_by_one, expected);
    }
}

TEST(GdbParser, RequestsAndRefusals)
{
    const std::string zero_block(register_block_size * 2, '0');
    const std::vector<std::pair<std::string, std::optional<Request>>> rows = {
        {"?", HaltReason{}}, {"g", ReadRegisters{}}, {"k", Kill{}}, {"D", Detach{}},
        {"G" + zero_block, WriteRegisters{std::vector<uint8_t>(register_block_size)}},
        {"p8", ReadRegister{8}}, {"p1f", ReadRegister{31}},
        {"P8=78563412", WriteRegister{8, {0x78, 0x56, 0x34, 0x12}}},
        {"m8048000,4", ReadMemory{0x8048000, 4}}, {"m0,2000", ReadMemory{0, 0x2000}},
        {"mFFFFFFFF,1", ReadMemory{0xffffffff, 1}}, {"m00000000000000ff,1", ReadMemory{0xff, 1}},
        {"M1000,2:aBcd", WriteMemory{0x1000, {0xab, 0xcd}}},
        {"X10,3:}]}\x03z", WriteMemory{0x10, {'}', '#', 'z'}}}, {"X10,0:", WriteMemory{0x10, {}}},
        {"c", Resume{ResumeMode::cont, {}, 0}}, {"c8048010", Resume{ResumeMode::cont, 0x8048010, 0}},
        {"s", Resume{ResumeMode::step, {}, 0}}, {"C0b", Resume{ResumeMode::cont, {}, 11}},
        {"S05;100", Resume{ResumeMode::step, 0x100, 5}},
        {"vCont;c", Resume{ResumeMode::cont, {}, 0}}, {"vCont;s:1;c", Resume{ResumeMode::step, {}, 0}},
        {"vCont;c:2;s", Resume{ResumeMode::step, {}, 0}}, {"vCont;C05:1", Resume{ResumeMode::cont, {}, 5}},
        {"vCont?", ResumeActions{}},
        {"Z0,8048010,1", Breakpoint{true, BreakpointKind::software, 0x8048010, 1}},
        {"z1,10,1", Breakpoint{false, BreakpointKind::hardware, 0x10, 1}},
        {"Z4,2000,4", Breakpoint{true, BreakpointKind::access_watch, 0x2000, 4}},
        {"qSupported:multiprocess+;swbreak+;hwbreak+", Supported{true, true}}, {"qSupported", Supported{}},
        {"qXfer:features:read:target.xml:0,ffb", ReadFeatures{"target.xml", 0, 0xffb}},
        {"qAttached", Attached{}}, {"qC", CurrentThread{}},
        {"qfThreadInfo", ThreadList{true}}, {"qsThreadInfo", ThreadList{false}},
        {"Hg0", SetThread{true}}, {"Hc-1", SetThread{true}}, {"Hg2", SetThread{false}},
        {"T1", ThreadAlive{true}}, {"T2", ThreadAlive{false}}, {"QStartNoAckMode", StartNoAck{}},
        {"vMustReplyEmpty", Unsupported{}}, {"qTStatus", Unsupported{}}, {"", Unsupported{}},
        // Refused: nullopt stands for Malformed.
        {"m1,", {}}, {"m,4", {}}, {"m100000000,4", {}}, {"m1,2001", {}}, {"m1;4", {}}, {"m0x10,1", {}},
        {"m-1,1", {}}, {"m 1,1", {}},
        {"M1,2:abc", {}}, {"M1,2:ab", {}}, {"Mzz,1:00", {}}, {"M1,1:0g", {}}, {"X1,1:}", {}},
        {"p20", {}}, {"p", {}}, {"P8=1234", {}}, {"P8", {}}, {"G00", {}}, {"G" + zero_block + "0", {}},
        {"Z5,0,1", {}}, {"Z0,1", {}}, {"z0,1,fffffffff", {}},
        {"c12x", {}}, {"Cx", {}}, {"C100", {}}, {"S05;", {}},
        {"vCont;x", {}}, {"vCont;c:2", {}}, {"vCont;cc", {}}, {"vCont;", {}},
        {"qXfer:features:read:target.xml:0", {}},
    };
    for (const auto& [payload, expected] : rows) {
        SCOPED_TRACE(payload);
        Request got = parse_request(payload);
        if (expected)
            EXPECT_TRUE(got == *expected) << "parsed as alternative " << got.index();
        else
            EXPECT_TRUE(std::holds_alternative<Malformed>(got)) << "parsed as alternative " << got.index();
    }
}

TEST(GdbReplies, ExactBytes)
{
    using StopKind = StopEvent::Kind;
    const StopReplyOptions named{true, true};
    const std::string xml = "ab}cdef";
    std::string unavailable, available;
    append_register(unavailable, std::vector<uint8_t>{1, 2, 3, 4}, false);
    append_register(available, std::vector<uint8_t>{0x0a, 0xff}, true);
    const std::vector<std::pair<std::string, std::string>> rows = {
        {frame_packet("OK"), "$OK#9a"}, {frame_packet(""), "$#00"}, {frame_packet("T05thread:1;"), "$T05thread:1;#d7"},
        {reply_error(ErrorCode::malformed), "E01"}, {reply_error(ErrorCode::memory_fault), "E0e"},
        {reply_supported(), "PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+"},
        {reply_resume_actions(), "vCont;c;C;s;S"},
        {reply_stop({}, named), "T05thread:1;"},
        {reply_stop({StopKind::signalled, signal::interrupt}, {}), "T02thread:1;"},
        {reply_stop({StopKind::breakpoint}, named), "T05swbreak:;thread:1;"},
        {reply_stop({StopKind::breakpoint}, {}), "T05thread:1;"},
        {reply_stop({StopKind::hw_breakpoint}, named), "T05hwbreak:;thread:1;"},
        {reply_stop({StopKind::watchpoint, signal::trap, 0, 0x8049000}, {}), "T05watch:8049000;thread:1;"},
        {reply_stop({StopKind::watchpoint, signal::trap, 0, 0x10, BreakpointKind::access_watch}, {}),
         "T05awatch:10;thread:1;"},
        {reply_stop({StopKind::exited, 0, 3}, {}), "W03"},
        {reply_stop({StopKind::terminated, signal::segv}, {}), "X0b"},
        {reply_memory(std::vector<uint8_t>{0x01, 0xab}), "01ab"}, {reply_memory({}), "E0e"},
        {unavailable, "xxxxxxxx"}, {available, "0aff"},
        {reply_xfer_chunk(xml, 0, 2, 100), "mab"}, {reply_xfer_chunk(xml, 1, 3, 100), "mb}]c"},
        {reply_xfer_chunk(xml, 4, 100, 100), "ldef"}, {reply_xfer_chunk(xml, 7, 1, 100), "l"},
        {reply_xfer_chunk(xml, 8, 1, 100), "E05"}, {reply_xfer_chunk(xml, 0, 100, 3), "mab"},
        {reply_xfer_chunk(xml, 3, 100, 4), "mcde"},
        {reply_current_thread(), "QC1"}, {reply_thread_list(true), "m1"}, {reply_thread_list(false), "l"},
        {reply_attached(false), "0"},
        {encode_hex(std::vector<uint8_t>{0x00, 0x7f, 0xff}), "007fff"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ": " + rows[i].second);
        EXPECT_EQ(rows[i].first, rows[i].second);
    }
}

// Each register's name, size and number in the description GDB reads are
// those the g packet is laid out by.
TEST(GdbRegisters, DescriptionMatchesTheBlockLayout)
{
    const std::string& xml = target_description_xml();
    EXPECT_NE(xml.find("<architecture>i386</architecture><feature name=\"org.gnu.gdb.i386.core\">"), xml.npos);
    EXPECT_NE(xml.find("<field name=\"ZF\" start=\"6\" end=\"6\"/>"), xml.npos);
    for (unsigned n = 0; n < register_count; ++n) {
        const RegisterInfo& r = i386_registers[n];
        SCOPED_TRACE(std::string(r.name));
        std::string element = "<reg name=\"" + std::string(r.name) + "\" bitsize=\"" +
                              std::to_string(register_size(n) * 8) + "\" type=\"" + std::string(r.type) +
                              "\" regnum=\"" + std::to_string(n) + "\"";
        EXPECT_NE(xml.find(element), xml.npos);
    }
}

} // namespace
} // namespace vekos::gdb
