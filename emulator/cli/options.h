// vekos-run's command line, in one place: the options, their values and their
// checks.  The small languages some options speak (an injection, a key list)
// are parsed here too, for the tests as well.
#pragma once

#include "kernel/kernel.h"
#include "window/presenter.h"
#include "window/window.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

struct RunOptions {
    std::filesystem::path root = ".";
    bool fast = false;
    std::optional<std::string> trace; // "-": standard error; else a file
    std::set<uint32_t> traced_calls;  // --trace-calls: only these (empty: all)
    bool summary = false;             // --summary: calls, errors and times at the end
    std::vector<Injection> injections;
    uint64_t max_instructions = 0; // 0: none
    double timeout_seconds = 0;    // 0: none
    FsQuota quota;
    DisplayKind display = DisplayKind::automatic;
    std::optional<std::filesystem::path> record, screenshot;
    std::vector<ScriptedKey> keys; // --keys, and --frames as a q
    GuiFailure gui_fail = GuiFailure::none;
    std::optional<uint16_t> gdb_port;                 // --gdb: wait for a debugger on 127.0.0.1:PORT
    std::optional<std::filesystem::path> coverage;    // --coverage: lcov tracefile to add this run's lines to
    std::vector<std::string> argv; // PROGRAM ARGS...
    bool trace_then_program = false; // "--trace PROGRAM": PROGRAM may have been meant as the trace's file
};

// Throws UsageError with a message for the user; nullopt when --help was
// asked for and printed.
std::optional<RunOptions> parse_command_line(int argc, char** argv);

// A call by name (as the trace names it; sleep and _exit too) or number.
std::optional<uint32_t> call_number(std::string_view call);
// "open,write,3": calls by name or number.  Throws UsageError naming --trace-calls.
std::set<uint32_t> parse_call_list(std::string_view list);

// "CALL[@N]=ANSWER": a call by name or number, answered ANSWER (32 bits, or
// an error name such as ENOENT for its negative number).
// Throws UsageError naming --inject.
Injection parse_injection(std::string_view spec);
// "FRAME:KEY[,FRAME:KEY...]"; KEY is one character, a name (Escape, Enter,
// Tab, Space, Backspace, Delete, Comma), or a code (0x3B, or two or more
// decimal digits).  Throws UsageError naming --keys.
std::vector<ScriptedKey> parse_keys(std::string_view list);
int32_t parse_key(std::string_view key);

} // namespace vekos
