// The GDB stub's protocol loop where a debugging session with real GDB does
// not go: damaged packets, resends, the interrupt byte, a target that
// refuses, and a peer that hangs up.
#include "gdb_fakes.h"

#include "debug/gdb_session.h"
#include "debug/gdb_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vekos::gdb {
namespace {

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
        test::FakeTarget target;
        test::ScriptTransport transport;
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
    test::FakeTarget target;
    SocketTransport transport = *listener.accept(-1);
    EXPECT_EQ(GdbSession(target, transport).run(), SessionEnd::disconnected);
}

} // namespace
} // namespace vekos::gdb
