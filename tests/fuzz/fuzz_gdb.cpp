// libFuzzer target: the GDB stub's session on arbitrary bytes from "GDB".
//
// The input is the byte stream, handed over in pieces of 7 bytes so packets
// arrive split, to the tests' fake target.  Whatever comes in, the stub must
// answer in whole, well-framed packets no longer than PacketSize.
//
// The stub's sources are compiled into this file, so that clang instruments
// them for libFuzzer (the library the tests link is built without).
#include "debug/gdb_framer.cpp"
#include "debug/gdb_hex.cpp"
#include "debug/gdb_protocol.cpp"
#include "debug/gdb_registers.cpp"
#include "debug/gdb_replies.cpp"
#include "debug/gdb_session.cpp"

#include "gdb_fakes.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace vekos::gdb;
    constexpr size_t piece = 7;
    test::FakeTarget target;
    test::ScriptTransport stream;
    for (size_t at = 0; at < size; at += piece)
        stream.chunks.emplace_back(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at));
    GdbSession(target, stream).run();

    PacketFramer reader;
    std::vector<FrameEvent> events;
    reader.feed({reinterpret_cast<const uint8_t*>(stream.sent.data()), stream.sent.size()}, events);
    for (const FrameEvent& e : events)
        if (e.kind != FrameEvent::Kind::packet && e.kind != FrameEvent::Kind::ack && e.kind != FrameEvent::Kind::nack)
            std::abort();  // a reply that is not a whole packet within PacketSize
    return 0;
}
