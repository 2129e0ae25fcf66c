// The stub's protocol loop: answers GDB while the guest is stopped, lets it
// run when GDB says so, and tells GDB why it stopped.
//
// One GdbSession serves one GDB connection.  It acknowledges each packet
// (until GDB turns acknowledgements off with QStartNoAckMode), asks again
// for a packet that arrived damaged, sends its last reply again when GDB
// asks, and watches for GDB's interrupt byte while the guest runs.
#pragma once

#include "debug/gdb_framer.h"
#include "debug/gdb_replies.h"
#include "debug/gdb_target.h"

#include <deque>
#include <optional>
#include <string>
#include <variant>

namespace vekos::gdb {

enum class SessionEnd {
    killed,         // GDB killed the program
    detached,       // GDB went away and left the program running
    program_ended,  // the program exited or was ended; GDB was told
    disconnected,   // the connection closed without a word
};

class GdbSession {
public:
    GdbSession(GdbTarget& target, Transport& transport) : target_(target), transport_(transport) {}

    // One stop/resume cycle: answers requests until GDB resumes the guest,
    // runs it until it stops and reports the stop.  nullopt while the
    // session goes on.  What Transport::write throws (GDB went away in the
    // middle of a reply) comes through.
    std::optional<SessionEnd> cycle();
    // Cycles until the session ends.
    SessionEnd run();

private:
    // What one packet leads to: serve on, run the guest, or end.
    using Decision = std::variant<std::monostate, request::Resume, SessionEnd>;

    std::optional<FrameEvent> next_event();
    void read_into_pending(bool wait);
    bool interrupt_arrived();
    Decision handle(const FrameEvent& event);
    std::optional<SessionEnd> run_guest(const request::Resume& resume);
    void send(std::string payload);
    Decision answer(std::string payload);  // sends it and serves on
    void send_control(char byte);

    Decision serve(const request::HaltReason&);
    Decision serve(const request::ReadRegisters&);
    Decision serve(const request::WriteRegisters&);
    Decision serve(const request::ReadRegister&);
    Decision serve(const request::WriteRegister&);
    Decision serve(const request::ReadMemory&);
    Decision serve(const request::WriteMemory&);
    Decision serve(const request::Resume&);
    Decision serve(const request::ResumeActions&);
    Decision serve(const request::Breakpoint&);
    Decision serve(const request::Kill&);
    Decision serve(const request::Detach&);
    Decision serve(const request::Supported&);
    Decision serve(const request::ReadFeatures&);
    Decision serve(const request::Attached&);
    Decision serve(const request::CurrentThread&);
    Decision serve(const request::ThreadList&);
    Decision serve(const request::SetThread&);
    Decision serve(const request::ThreadAlive&);
    Decision serve(const request::StartNoAck&);
    Decision serve(const request::Unsupported&);
    Decision serve(const request::Malformed&);

    GdbTarget& target_;
    Transport& transport_;
    PacketFramer framer_;
    std::deque<FrameEvent> pending_;
    bool peer_gone_ = false;
    bool acks_ = true;
    StopReplyOptions stop_options_;
    StopEvent last_stop_;  // the guest starts stopped with SIGTRAP, before its first instruction
    std::string last_packet_;
};

} // namespace vekos::gdb
