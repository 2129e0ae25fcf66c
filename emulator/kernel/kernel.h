// The stand-in's kernel: answers each int 0x80 of the guest.
//
// Dispatch comes from the call table (vekos_calls.h): every row has a service
// function serve_NAME, declared below, defined in the file of its family
// (serve_files.cpp, serve_process.cpp, window/serve_window.cpp; the calls the
// stand-in does not provide in serve_absent.cpp).  Adding a call is a table
// row and its service function.
//
// Answers follow one rule: a non-negative value on success, a negative Linux
// errno number on failure (-2 no such file, -9 bad descriptor, -14 bad
// address, -22 invalid argument, -38 not implemented, ...).
#pragma once

#include "cpu/trap.h"
#include "kernel/calls.h"
#include "kernel/clock.h"
#include "kernel/console.h"
#include "kernel/files.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

class GuestMemory;
class Window;

struct CallRecord {
    CallRegs in;
    int32_t answer = 0;
    bool injected = false;
    bool provided = true; // false: the stand-in does not provide the call (-38)
    // Host time spent serving the call; measured only for an observer.
    std::chrono::nanoseconds host_time{0};
};

// "--inject CALL[@N]=ANSWER": the Nth call (every call without @N) of CALL
// answers ANSWER without being performed.
struct Injection {
    uint32_t number = 0;
    std::optional<uint64_t> nth;
    int32_t answer = 0;
};

struct KernelOptions {
    std::filesystem::path root = ".";
    FsQuota quota;
    bool fast_clock = false;
    bool keep_log = false;
    // Told of every call once it is answered, with the memory as it is then
    // (the trace, tests that look at records); the exit call has no answer.
    std::function<void(const GuestMemory&, const CallRecord&)> observer;
    std::vector<Injection> injections;
};

// One call being served.
struct Call {
    GuestMemory& memory;
    const CallRegs& regs;
};

struct Answer {
    int32_t value = 0;
    bool provided = true;
    bool exit = false;
};

class Kernel final : public TrapHandler {
public:
    Kernel(KernelOptions options, Console& console);

    TrapOutcome handle(GuestMemory& memory, const CallRegs& regs) override;
    void interrupt() override;

    // Back to the state of a fresh process: console descriptors only, cwd "/",
    // call counters and log cleared.  Injections stay.
    void reset();
    void add_injection(const Injection& injection) { options_.injections.push_back(injection); }
    void clear_injections() { options_.injections.clear(); }
    void set_observer(std::function<void(const GuestMemory&, const CallRecord&)> observer)
    {
        options_.observer = std::move(observer);
    }
    const std::vector<CallRecord>& log() const { return log_; }
    void clear_log() { log_.clear(); }

    // What the services work on.
    Files& files() { return files_; }
    Clock& clock() { return clock_; }
    Console& console() { return console_; }
    Window* window() { return window_; }
    void set_window(Window* window) { window_ = window; }
    // The console's reader went away: the run ends after this call.
    void close_output() { output_closed_ = true; }

private:
    std::optional<int32_t> injected_answer(uint32_t number);

    KernelOptions options_;
    Console& console_;
    Files files_;
    Clock clock_;
    Window* window_ = nullptr;
    bool output_closed_ = false;
    std::array<uint64_t, 256> counts_{};
    std::map<uint32_t, uint64_t> high_counts_;
    std::vector<CallRecord> log_;
};

#define VEKOS_DECLARE_SERVICE(name, ...) Answer serve_##name(Kernel& kernel, const Call& call);
VEKOS_ALL_CALLS(VEKOS_DECLARE_SERVICE)
#undef VEKOS_DECLARE_SERVICE

// The answer of a call the stand-in does not provide: -38, marked in the trace.
Answer not_provided();

} // namespace vekos
