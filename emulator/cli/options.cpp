#include "cli/options.h"

#include "cli/help_text.h"

#include "base/errors.h"
#include "kernel/calls.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace vekos {
namespace {

constexpr double kMaxTimeoutSeconds = 1e7; // about 115 days

// A whole number in [low, high], the whole text: nothing more, nothing less.
CLI::Validator whole_number(uint64_t low, uint64_t high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            uint64_t value = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size() && value >= low && value <= high)
                return {};
            return text + " is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        },
        "");
}

// Seconds: finite, above 0, at most kMaxTimeoutSeconds.
CLI::Validator seconds()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            if (!text.empty() && *end == '\0' && errno != ERANGE && std::isfinite(value) && value > 0
                && value <= kMaxTimeoutSeconds)
                return {};
            return text + " is not a number of seconds above 0 and at most "
                + std::to_string(int64_t(kMaxTimeoutSeconds));
        },
        "");
}

// A size in bytes with an optional K, M or G (binary multiples), up to `high`;
// rewritten to the plain number of bytes.
CLI::Validator size_in_bytes(uint64_t high)
{
    return CLI::Validator(
        [high](std::string& text) -> std::string {
            std::string digits = text;
            uint64_t unit = 1;
            if (!digits.empty()) {
                switch (std::toupper(static_cast<unsigned char>(digits.back()))) {
                case 'K': unit = 1ull << 10; break;
                case 'M': unit = 1ull << 20; break;
                case 'G': unit = 1ull << 30; break;
                default: break;
                }
                if (unit != 1)
                    digits.pop_back();
            }
            uint64_t value = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value > high / unit)
                return text + " is not a size in bytes from 0 to " + std::to_string(high)
                    + " (K, M and G multiply by 1024, 1024^2, 1024^3)";
            text = std::to_string(value * unit);
            return {};
        },
        "");
}

// One of the names, given as the number of the enumerator it stands for.
template <typename Enum>
CLI::Validator one_of(std::vector<std::pair<std::string, Enum>> names)
{
    return CLI::Validator(
        [names](std::string& text) -> std::string {
            std::string listed;
            for (const auto& [name, value] : names) {
                if (text == name) {
                    text = std::to_string(int(value));
                    return {};
                }
                listed += (listed.empty() ? "" : ", ") + name;
            }
            return text + " is not one of " + listed;
        },
        "");
}

// An existing directory.
CLI::Validator directory()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::error_code ec;
            return std::filesystem::is_directory(text, ec) ? "" : text + " is not a directory";
        },
        "");
}

// The usage line is the description's first line: CLI11's own knows no PROGRAM.
class Synopsis : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override { return ""; }
};

// "--trace" may stand alone or as "--trace=FILE"; a bare "--trace" must not
// swallow the program name, so it is rewritten before parsing.  An unknown
// option before PROGRAM is a usage error (the parser would take it for the
// program).
std::vector<std::string> normalise_arguments(const CLI::App& app, int argc, char** argv, bool& trace_then_program)
{
    std::vector<std::string> out;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options) {
            trace_then_program = i > 1 && std::string_view(argv[i - 1]) == "--trace";
            const CLI::Option* known
                = arg.size() > 1 && arg[0] == '-' ? app.get_option_no_throw(arg.substr(0, arg.find('='))) : nullptr;
            if (arg == "--trace") {
                arg = "--trace=-";
            } else if (arg == "--") {
                options = false; // the parser keeps it in front of PROGRAM; dropped there
            } else if (known && arg.find('=') == std::string::npos && known->get_items_expected_min() > 0) {
                out.push_back(arg); // an option that takes a value, and its value
                if (i + 1 < argc)
                    out.push_back(argv[++i]);
                continue;
            } else if (arg.empty() || arg[0] != '-') {
                options = false;
                out.push_back(arg);
                continue;
            } else if (!known) {
                throw UsageError("unknown option " + arg + " (try --help)");
            }
        }
        out.push_back(arg);
    }
    return out;
}

} // namespace

std::optional<RunOptions> parse_command_line(int argc, char** argv)
{
    CLI::App app{kDescription, "vekos-run"};
    app.prefix_command();
    app.footer(kFooter);
    RunOptions run;
    std::string root = ".", trace, traced_calls;
    std::vector<std::string> injections, key_lists;
    uint64_t frames = 0;

    app.add_option("--root", root, "Host directory that is the guest's \"/\" (default: the current directory)")
        ->check(directory())
        ->type_name("DIR");
    app.add_flag("--fast", run.fast, "Virtual clock: sleeps take no real time");
    app.add_option("--trace", trace,
           "One line per kernel call, strace-style, to standard error; --trace=FILE writes them to FILE")
        ->type_name("");
    app.add_option("--trace-file", trace, "Trace the kernel calls into FILE (the same as --trace=FILE)")
        ->type_name("FILE");
    app.add_option("--trace-calls", traced_calls,
           "Trace only these calls, by name or number (e.g. open,write); standard error unless a trace file is named")
        ->type_name("CALL,...");
    app.add_flag("--summary", run.summary,
        "At the end, on standard error: calls and errors per call, instructions executed, wall and CPU time");
    app.add_option("--gdb", run.gdb_port,
           "Wait for GDB on 127.0.0.1:PORT (target remote :PORT) with the program stopped before its "
           "first instruction (0: a free port, named on standard error); quitting GDB ends the program, detaching lets it run on")
        ->check(whole_number(0, 65535))
        ->type_name("PORT")
        ->group("Debugging");
    app.add_option("--coverage", run.coverage,
           "Add the source lines this run executed to the lcov tracefile FILE (the program built with "
           "vekos-cc -g); runs add up")
        ->type_name("FILE")
        ->group("Debugging");
    app.set_version_flag("--version", std::string("vekos-run ") + VEKOS_VERSION);
    app.add_option("--inject", injections,
           "CALL[@N]=ANSWER: the Nth call (every call without @N) of CALL, by name or number, "
           "answers ANSWER without being performed: a number, or an error name such as ENOENT for "
           "its negative number (repeatable; not exit, which never answers)")
        ->allow_extra_args(false) // one value each time: never the program name
        ->type_name("CALL[@N]=ANSWER");
    app.add_option("--max-insns", run.max_instructions,
           "Stop the program after about N instructions (checked a block of instructions at a time)")
        ->check(whole_number(1, UINT64_MAX))
        ->type_name("N");
    app.add_option("--timeout", run.timeout_seconds,
           "Stop the program after S seconds of real time, whatever it waits for (at most 10000000)")
        ->check(seconds())
        ->type_name("S");
    app.add_option("--max-file-size", run.quota.file_bytes,
           "No file the program writes may grow beyond SIZE bytes (K, M, G suffixes; default 64M, "
           "at most 2G-1)")
        ->transform(size_in_bytes(FsQuota::kMaxFileBytes))
        ->type_name("SIZE");
    app.add_option("--fs-quota", run.quota.total_bytes,
           "The program may add at most SIZE bytes to files in all, pending whole-file streams "
           "included (default 256M)")
        ->transform(size_in_bytes(UINT64_MAX))
        ->type_name("SIZE");
    app.add_option("--display", run.display,
           "auto|window|terminal|none: where the program's window shows.  window: an SDL2 window, "
           "scaled to fit; terminal: 24-bit colour half blocks in this terminal, keys read raw; "
           "none: nowhere (batch runs); auto (default): a window when an X or Wayland display "
           "can be opened, else none")
        ->transform(one_of<DisplayKind>({{"auto", DisplayKind::automatic}, {"window", DisplayKind::window},
            {"terminal", DisplayKind::terminal}, {"none", DisplayKind::none}}))
        ->type_name("KIND")
        ->group("Window");
    app.add_option("--record", run.record,
           "FILE.gif: every presented frame into an animated GIF (2 hundredths of a second a frame: "
           "16 ms rounded up, the shortest delay viewers keep)")
        ->type_name("FILE")
        ->group("Window");
    app.add_option("--screenshot", run.screenshot, "FILE.png: the last presented frame, written at the end")
        ->type_name("FILE")
        ->group("Window");
    app.add_option("--keys", key_lists,
           "FRAME:KEY[,FRAME:KEY...]: key events that arrive in frame FRAME (the first frame drawn is "
           "1), e.g. --keys 200:q or --keys 5:a,5:b,300:Escape (repeatable).  KEY: one character, a "
           "name (Escape, Enter, Tab, Space, Backspace, Delete, Comma) or a code (0x3B, or two or "
           "more decimal digits)")
        ->allow_extra_args(false)
        ->type_name("FRAME:KEY,...")
        ->group("Window");
    app.add_option("--frames", frames,
           "N: a 'q' key arrives in frame N (--keys N:q), so a program that quits on q presents N frames")
        ->check(whole_number(1, UINT64_MAX))
        ->type_name("N")
        ->group("Window");
    app.add_option("--gui-fail", run.gui_fail,
           "create|attach|both: those window calls answer -19 (no such device), to see a program's "
           "fallback and failure paths")
        ->transform(one_of<GuiFailure>(
            {{"create", GuiFailure::create}, {"attach", GuiFailure::attach}, {"both", GuiFailure::both}}))
        ->type_name("WHICH")
        ->group("Window");

    app.formatter(std::make_shared<Synopsis>());
    std::vector<std::string> args = normalise_arguments(app, argc, argv, run.trace_then_program);
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::Success& e) { // --help, --version
        app.exit(e);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    run.argv = app.remaining();
    if (!run.argv.empty() && run.argv.front() == "--")
        run.argv.erase(run.argv.begin());
    if (run.argv.empty())
        throw UsageError("no PROGRAM given (try --help)");
    run.root = root;
    if (!traced_calls.empty()) {
        run.traced_calls = parse_call_list(traced_calls);
        if (trace.empty())
            trace = "-";
    }
    if (!trace.empty())
        run.trace = trace;
    for (const std::string& spec : injections) {
        run.injections.push_back(parse_injection(spec));
        // The program's exit would come back to it, and _exit then spins for ever.
        if (run.injections.back().number == VEKOS_SYS_exit)
            throw UsageError(
                "--inject " + spec + ": exit never returns to the program, so it has no answer to replace");
    }
    for (const std::string& list : key_lists) {
        auto keys = parse_keys(list);
        run.keys.insert(run.keys.end(), keys.begin(), keys.end());
    }
    if (frames)
        run.keys.push_back({frames, 'q'});
    if (run.gdb_port && run.timeout_seconds > 0)
        throw UsageError("--timeout cannot be used with --gdb: the debugger holds the program as long as it likes");
    return run;
}

} // namespace vekos
