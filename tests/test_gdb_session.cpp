// The GDB stub's protocol loop against a fake target: a scripted
// conversation as GDB holds it, the acknowledgement rules, and the socket.
#include "gdb_fakes.h"

#include "debug/gdb_session.h"
#include "debug/gdb_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <thread>

namespace vekos::gdb {
namespace {

using test::FakeTarget;
using test::packet;
using test::ScriptTransport;
using test::unreadable_register;

struct Exchange {
    std::string from_gdb;
    std::string from_stub;
};

// Runs the whole conversation, then compares the stub's bytes exchange by exchange.
void converse(const std::vector<Exchange>& script, SessionEnd expected_end, FakeTarget& target)
{
    ScriptTransport transport;
    for (const Exchange& e : script)
        transport.chunks.push_back(e.from_gdb);
    EXPECT_EQ(GdbSession(target, transport).run(), expected_end);
    size_t at = 0;
    for (size_t i = 0; i < script.size(); at += script[i++].from_stub.size()) {
        SCOPED_TRACE("exchange " + std::to_string(i) + ": " + script[i].from_gdb);
        EXPECT_EQ(transport.sent.substr(at, script[i].from_stub.size()), script[i].from_stub);
    }
    EXPECT_EQ(transport.sent.size(), at);
}

std::string register_block_hex()
{
    std::string hex;
    for (unsigned n = 0; n < register_count; ++n) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", n);
        for (size_t i = 0; i < register_size(n); ++i)
            hex += n == unreadable_register ? "xx" : byte;
    }
    return hex;
}

TEST(GdbSession, DebuggingConversation)
{
    const std::string& xml = target_description_xml();
    FakeTarget target;
    converse({
        {"+", ""},
        {packet("qSupported:multiprocess+;swbreak+;hwbreak+"),
         "+" + packet("PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+")},
        {packet("vMustReplyEmpty"), "+" + packet("")},
        {packet("qXfer:features:read:target.xml:0,100"), "+" + packet("m" + xml.substr(0, 0x100))},
        {packet("qXfer:features:read:target.xml:100,4000"), "+" + packet("l" + xml.substr(0x100))},
        {packet("qXfer:features:read:other.xml:0,100"), "+" + packet("E00")},
        {packet("?"), "+" + packet("T05thread:1;")},
        {packet("Hg0"), "+" + packet("OK")},
        {packet("g"), "+" + packet(register_block_hex())},
        {packet("p8"), "+" + packet("08080808")},
        {packet("P10=00000000000000000000"), "+" + packet("OK")},
        {packet("m804800e,4"), "+" + packet("9090")},
        {packet("m1000,4"), "+" + packet("E0e")},
        {packet("M8048000,1:cc"), "+" + packet("E0e")},
        {packet("Z2,8049000,4"), "+" + packet("")},  // no watchpoints: GDB single-steps instead
        {packet("Z0,8048010,1"), "+" + packet("OK")},
        {packet("vCont;s:1;c"), "+" + packet("T05thread:1;")},
        {packet("vCont;c"), "+" + packet("T05swbreak:;thread:1;")},
        {packet("z0,8048010,1"), "+" + packet("OK")},
        {packet("c"), "+"},
        {std::string(100, '+'), ""},  // noise while the guest runs does not hide the interrupt
        {"\x03", packet("T02thread:1;")},
        {packet("k"), "+"},
        {packet("m8048000,1"), ""},  // never read: the session ended
    }, SessionEnd::killed, target);
    const std::vector<std::string> calls = {"P16=10", "Z2 134516736", "Z0 134512656", "step", "cont", "cont", "kill"};
    EXPECT_EQ(target.calls, calls);
}

TEST(GdbSession, AcknowledgementsAndDamagedPackets)
{
    FakeTarget target;
    target.next_stop = StopEvent{StopEvent::Kind::exited, 0, 7};
    converse({
        {"$g#00", "-"},                                     // bad checksum: send it again
        {"$?#zz", "-"},                                     // not a checksum at all
        {packet(std::string(max_packet_payload + 1, 'm')), "+" + packet("E02")},
        {packet("m1,"), "+" + packet("E01")},
        {"-", packet("E01")},                               // GDB asks for the last reply again
        {packet("QStartNoAckMode"), "+" + packet("OK")},
        {packet("qC"), packet("QC1")},                      // no '+' from now on
        {"$qC#00", ""},
        {packet("c"), packet("W07")},
    }, SessionEnd::program_ended, target);
}

TEST(GdbSession, DetachLeavesTheProgramRunning)
{
    FakeTarget target;
    converse({{packet("D"), "+" + packet("OK")}}, SessionEnd::detached, target);
    EXPECT_EQ(target.calls, std::vector<std::string>{"detach"});
}

TEST(GdbSocket, ServesOneConnectionOnLoopbackAndRefusesAPortInUse)
{
    GdbListener listener(0);
    try {
        GdbListener second(listener.port());
        ADD_FAILURE() << "a second listener on the same port";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "gdb stub: port " + std::to_string(listener.port()) +
                                             " on 127.0.0.1 is in use by another program; choose another port");
    }
    std::string answer;
    std::thread gdb([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, htons(listener.port()), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::string request = packet("?");
        ::send(fd, request.data(), request.size(), 0);
        char buffer[64];
        const std::string expected = "+" + packet("T05thread:1;");
        for (ssize_t n; answer.size() < expected.size() && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, size_t(n));
        ::close(fd);
    });
    SocketTransport transport = *listener.accept(-1);
    FakeTarget target;
    EXPECT_EQ(GdbSession(target, transport).run(), SessionEnd::disconnected);
    gdb.join();
    EXPECT_EQ(answer, "+" + packet("T05thread:1;"));
}

} // namespace
} // namespace vekos::gdb
