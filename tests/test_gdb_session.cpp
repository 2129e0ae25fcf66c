// The GDB stub's protocol loop where a debugging session with real GDB does
// not go: damaged packets, resends, the interrupt byte, a target that
// refuses, and a peer that hangs up.

#include "debug/gdb_registers.h"
#include "debug/gdb_session.h"
#include "debug/gdb_socket.h"
#include "debug/gdb_target.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>

namespace vekos::gdb {
namespace {

constexpr uint32_t code_base = 0x8048000;
constexpr uint32_t code_end = code_base + 16;
constexpr unsigned unreadable_register = unsigned(Reg::fop);

// A target that says no wherever it may: the last register cannot be read (the
// others read as zeros), only [code_base, code_end) can be read, nothing
// written, no breakpoint set.  A step stops at once, a continue only when
// GDB interrupts or goes.
struct FakeTarget : GdbTarget {
    bool read_register(unsigned n, std::span<uint8_t> out) override
    {
        std::ranges::fill(out, 0);
        return n != unreadable_register;
    }
    bool write_register(unsigned, std::span<const uint8_t>) override { return true; }
    size_t read_memory(uint32_t address, std::span<uint8_t> out) override
    {
        size_t n = address < code_base || address >= code_end ? 0 : std::min<size_t>(out.size(), code_end - address);
        std::ranges::fill(out.first(n), 0x90);
        return n;
    }
    size_t write_memory(uint32_t, std::span<const uint8_t>) override { return 0; }
    bool insert_breakpoint(BreakpointKind, uint32_t, uint32_t) override { return false; }
    bool remove_breakpoint(BreakpointKind, uint32_t, uint32_t) override { return false; }
    StopEvent resume(ResumeMode mode, std::optional<uint32_t>, const std::function<bool()>& interrupted) override
    {
        while (mode == ResumeMode::cont && !interrupted()) {
        }
        return mode == ResumeMode::step ? StopEvent{} : StopEvent{StopEvent::Kind::signalled, signal::interrupt};
    }
    void kill() override {}
    void detach() override {}
};

// Hands out one scripted chunk per read; the peer hangs up when they run out.
struct ScriptTransport : Transport {
    std::deque<std::string> chunks;
    std::string sent;

    std::optional<size_t> read(std::span<uint8_t> buffer, bool) override
    {
        if (chunks.empty())
            return std::nullopt;
        size_t n = chunks.front().copy(reinterpret_cast<char*>(buffer.data()), buffer.size());
        chunks.front().erase(0, n);
        if (chunks.front().empty())
            chunks.pop_front();
        return n;
    }
    void write(std::string_view bytes) override { sent += bytes; }
};

// The stub's own framing: its checksum is checked against literal packets in the framer's tests.
constexpr auto packet = frame_packet;

// Each conversation runs whole; then all the stub sent is compared.
TEST(GdbSession, Conversations)
{
    using Exchanges = std::vector<std::pair<std::string, std::string>>;  // what GDB sends, what the stub answers
    const std::vector<std::tuple<std::string, Exchanges, SessionEnd>> rows = {
        {"damaged packets, resends and no acknowledgements",
         {{"$g#00", "-"}, {"$?#zz", "-"},  // a bad checksum or none: send it again
          {packet(std::string(max_packet_payload + 1, 'm')), "+" + packet("E02")},
          {packet("m1,"), "+" + packet("E01")}, {"-", packet("E01")},
          {packet("QStartNoAckMode"), "+" + packet("OK")}, {"$qC#00" + packet("qC"), packet("QC1")}, {"-", ""}},
         SessionEnd::disconnected},
        {"interrupted while running; what came meanwhile is served after the stop",
         {{packet("c"), "+"}, {packet("qC") + std::string(100, '+'), ""},
          {"\x03", packet("T02thread:1;") + "+" + packet("QC1")}, {packet("?"), "+" + packet("T02thread:1;")},
          {packet("c"), "+"}},  // then GDB hangs up: the guest stops, nothing more is sent
         SessionEnd::disconnected},
        {"what the target cannot do",
         {{packet("g"), "+" + packet(std::string(2 * 172, '0') + "xxxxxxxx")},  // 176 bytes, the last unavailable
          {packet("m804800e,4"), "+" + packet("9090")}, {packet("m1000,4"), "+" + packet("E0e")},
          {packet("M8048000,1:cc"), "+" + packet("E0e")}, {packet("Z0,8048000,1"), "+" + packet("E04")},
          {packet("Z2,8049000,4"), "+" + packet("")},  // GDB then watches by single-stepping
          {packet("qXfer:features:read:other.xml:0,100"), "+" + packet("E00")}, {packet("k"), "+"}, {packet("?"), ""}},
         SessionEnd::killed},
    };
    for (const auto& [name, exchanges, end] : rows) {
        SCOPED_TRACE(name);
        FakeTarget target;
        ScriptTransport transport;
        std::string expected;
        for (const auto& [from_gdb, from_stub] : exchanges) {
            transport.chunks.push_back(from_gdb);
            expected += from_stub;
        }
        EXPECT_EQ(GdbSession(target, transport).run(), end);
        EXPECT_EQ(transport.sent, expected);
    }
}

// Over a real socket: a port taken says what to do, and GDB hanging up ends the session.
TEST(GdbSocket, PortInUseAndPeerHangingUp)
{
    GdbListener listener(0);
    try {
        GdbListener second(listener.port());
        ADD_FAILURE() << "a second listener on the same port";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "gdb stub: port " + std::to_string(listener.port()) +
                                             " on 127.0.0.1 is in use by another program; choose another port");
    }
    int gdb = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(listener.port()), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(gdb, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(gdb);
    FakeTarget target;
    SocketTransport transport = *listener.accept(-1);
    EXPECT_EQ(GdbSession(target, transport).run(), SessionEnd::disconnected);
}

} // namespace
} // namespace vekos::gdb
