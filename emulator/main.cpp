// vekos-run: runs a vekos program on Linux, answering its kernel calls.
#include "calls.h"
#include "console.h"
#include "elf_image.h"
#include "errors.h"
#include "kernel.h"
#include "layout.h"
#include "machine.h"
#include "output_file.h"
#include "presenter.h"
#include "record_png.h"
#include "services_window.h"

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kMaxTimeoutSeconds = 1e7;  // about 115 days

constexpr const char* kExitStatuses = R"(Exit status:
  the program's own exit status (its low 8 bits, as the host keeps them)
  2    vekos-run was used wrongly (unknown option, a value out of range, no
       PROGRAM, arguments that do not fit, an output file that cannot be written)
  124  --timeout expired
  125  vekos-run itself failed (a message says why; a --trace or output file
       that could not be written is one such failure)
  126  PROGRAM cannot be run: not a regular file, over 64 MiB, not a 32-bit i386
       static ELF executable, truncated, more than 16 loadable segments or more
       than 1 GiB of them, segments outside the address space or overlapping,
       memory both writable and executable
  127  PROGRAM not found
  128+N  a signal N (SIGINT, SIGTERM, SIGHUP, SIGQUIT) stopped the run: 130 for
       Ctrl-C
  132  the program executed an invalid instruction (ud2, syscall, ...)
  136  the program divided by zero
  139  the program made a memory fault (unmapped or protected access), a
       general protection fault (a privileged instruction such as hlt, cli,
       in, out, lgdt, mov cr0, wrmsr or sysenter: programs run in user mode)
       or raised a stray interrupt (int3, into, int n other than 0x80)
  141  standard output or error was closed while the program wrote to it
  152  --max-insns reached

Limits: the program's arguments (strings and pointers) take at most 512 KiB,
half of its 1 MiB stack.  Files: no file the program writes may exceed
--max-file-size (default 64 MiB; -27 file too large), and everything it adds
to files, with what its whole-file streams hold, may not exceed --fs-quota
(default 256 MiB; -28 no space left).

Output files (--record, --screenshot, --trace=FILE) are checked before the
run and written only once there is something to write: to a temporary file
beside the target, renamed into place at the end, so an existing file is
replaced whole or not at all (a device or FIFO is written in place, never
removed).  A run that ends early (a fault, --timeout, --max-insns, a signal)
still writes what it made: the frames so far, the last frame, the trace.  If
vekos-run itself fails, the temporary files are removed and existing files
are left as they were.

Window: gui_create and gui_attach open one window of 640x480 pixels; the
frame calls draw into it and gui_present shows it (--display) and records it
(--record, --screenshot).  Keys typed on the display, and those of --keys,
reach gui_poll_event and gui_wait_event as key events (type 1, code the
character: 'q', 'Q', 27 Escape, '\n' Enter, 8 Backspace, 9 Tab, 127 Delete).
Closing the window sends Escape.  With no display gui_wait_event answers 0 at
once when no key is pending.

Kernel calls that fail answer a negative Linux errno number: -2 no such file,
-9 bad descriptor, -11 try again (a pipe or FIFO with nothing to read),
-13 permission denied, -14 bad address, -16 busy (a second window), -17
exists, -19 no such device (--gui-fail), -20 not a directory, -21 is a
directory, -22 invalid argument, -27 file too large, -28 no space left (the
quota), -38 not implemented (marked in the trace), -39 directory not empty.
)";

// "--trace" may stand alone or as "--trace=FILE"; a bare "--trace" must not
// swallow the program name, so it is rewritten before parsing.  An unknown
// option before PROGRAM is a usage error (the parser would take it for the
// program).
std::vector<std::string> normalise_arguments(const CLI::App& app, int argc, char** argv)
{
    static const std::vector<std::string> takes_value = {
        "--root",   "--inject",     "--max-insns", "--timeout",  "--display",       "--record",
        "--keys",   "--screenshot", "--frames",    "--gui-fail", "--max-file-size", "--fs-quota"};
    std::vector<std::string> out;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options) {
            if (arg == "--trace") {
                arg = "--trace=-";
            } else if (arg == "--") {
                options = false;  // the parser keeps it in front of PROGRAM; dropped there
            } else if (std::find(takes_value.begin(), takes_value.end(), arg) != takes_value.end()) {
                out.push_back(arg);
                if (i + 1 < argc)
                    out.push_back(argv[++i]);
                continue;
            } else if (arg.empty() || arg[0] != '-') {
                options = false;
            } else if (!app.get_option_no_throw(arg.substr(0, arg.find('=')))) {
                throw vekos::UsageError("unknown option " + arg + " (try --help)");
            }
        }
        out.push_back(arg);
    }
    return out;
}

// A whole number in [low, high], the whole text: nothing more, nothing less.
uint64_t parse_count(const std::string& option, const std::string& text, uint64_t low, uint64_t high)
{
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw vekos::UsageError(option + " " + text + ": expected a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high));
    return value;
}

// A size in bytes, with an optional K, M or G (binary multiples).
uint64_t parse_size(const std::string& option, const std::string& text, uint64_t high)
{
    std::string digits = text;
    uint64_t unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'K': case 'k': unit = 1ull << 10; break;
        case 'M': case 'm': unit = 1ull << 20; break;
        case 'G': case 'g': unit = 1ull << 30; break;
        default: break;
        }
        if (unit != 1)
            digits.pop_back();
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value > high / unit)
        throw vekos::UsageError(option + " " + text + ": expected a size in bytes from 0 to " + std::to_string(high) +
                                " (K, M and G multiply by 1024, 1024^2, 1024^3)");
    return value * unit;
}

double parse_seconds(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value <= 0 ||
        value > kMaxTimeoutSeconds)
        throw vekos::UsageError(option + " " + text + ": expected a number of seconds above 0 and at most " +
                                std::to_string(int64_t(kMaxTimeoutSeconds)));
    return value;
}

// Ends the run on SIGINT, SIGTERM, SIGHUP or SIGQUIT like --timeout does, so
// whatever ends the program, the terminal is given back and the output files
// are written.  The signals are blocked in every thread (the mask is set
// before any thread starts) and taken by one thread of its own with sigwait.
class SignalStop {
public:
    SignalStop()
    {
        sigemptyset(&set_);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, kDone})
            sigaddset(&set_, s);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // While it lives, a signal stops this machine's run.
    class Watch {
    public:
        Watch(const sigset_t& set, vekos::Machine& machine)
            : thread_([&set, &machine] {
                  for (;;) {
                      int s = 0;
                      if (sigwait(&set, &s) != 0 || s == kDone)
                          return;
                      machine.request_stop(s);
                  }
              })
        {
        }
        ~Watch()
        {
            pthread_kill(thread_.native_handle(), kDone);
            thread_.join();
        }
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        std::thread thread_;
    };
    std::unique_ptr<Watch> watch(vekos::Machine& machine) { return std::make_unique<Watch>(set_, machine); }

private:
    static constexpr int kDone = SIGUSR1;
    sigset_t set_;
};

std::string signal_name(int s)
{
    const char* abbrev = sigabbrev_np(s);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(s);
}

int run(int argc, char** argv)
{
    // First of all: no thread may start before the mask is set.
    SignalStop signals;
    // A closed standard output is reported by write (EPIPE) and ends the run cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"vekos-run [OPTIONS] PROGRAM [ARGS...]\n\n"
                 "Runs a vekos program (a 32-bit i386 static ELF) on this machine, answering its\n"
                 "int 0x80 kernel calls: console, a sandboxed file system, sleeping, exit, and a\n"
                 "window shown on a display and recorded.",
                 "vekos-run"};
    app.prefix_command();
    app.footer(kExitStatuses);

    std::string root = ".";
    bool fast = false;
    std::string trace;
    std::vector<std::string> injections;
    std::string max_insns_text, timeout_text, file_limit_text, quota_text;
    app.add_option("--root", root, "Host directory that is the guest's \"/\" (default: the current directory)")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--fast", fast, "Virtual clock: sleeps take no real time");
    app.add_option("--trace", trace,
                   "--trace or --trace=FILE: one line per kernel call, strace-style, to standard error "
                   "or FILE");
    app.add_option("--inject", injections,
                   "CALL[@N]=ANSWER: the Nth call (every call without @N) of CALL, by name or number, "
                   "answers ANSWER without being performed (repeatable; not exit, which never answers)")
        ->allow_extra_args(false);  // one value each time: never the program name
    app.add_option("--max-insns", max_insns_text, "N: stop the program after about N instructions (checked a block "
                                                  "of instructions at a time)");
    app.add_option("--timeout", timeout_text, "S: stop the program after S seconds of real time, whatever it waits "
                                              "for (at most 10000000)");
    app.add_option("--max-file-size", file_limit_text,
                   "SIZE: no file the program writes may grow beyond SIZE bytes (K, M, G suffixes; default "
                   "64M, at most 2G-1)");
    app.add_option("--fs-quota", quota_text,
                   "SIZE: the program may add at most SIZE bytes to files in all, pending whole-file streams "
                   "included (default 256M)");

    std::string display = "auto";
    std::string record, screenshot, gui_fail;
    std::vector<std::string> key_lists;
    std::string frames_text;
    app.add_option("--display", display,
                   "auto|window|terminal|none: where the program's window shows.  window: an SDL2 window, "
                   "scaled to fit; terminal: 24-bit colour half blocks in this terminal, keys read raw; "
                   "none: nowhere (batch runs); auto (default): a window when an X or Wayland display "
                   "can be opened, else none")
        ->check(CLI::IsMember({"auto", "window", "terminal", "none"}))
        ->group("Window");
    app.add_option("--record", record,
                   "FILE.gif: every presented frame into an animated GIF (2 hundredths of a second a "
                   "frame: 16 ms rounded up, the shortest delay viewers keep)")
        ->group("Window");
    app.add_option("--screenshot", screenshot, "FILE.png: the last presented frame, written at the end")
        ->group("Window");
    app.add_option("--keys", key_lists,
                   "FRAME:KEY[,FRAME:KEY...]: key events that arrive in frame FRAME (the first frame "
                   "drawn is 1), e.g. --keys 200:q or --keys 5:a,5:b,300:Escape (repeatable).  KEY: one "
                   "character, a name (Escape, Enter, Tab, Space, Backspace, Delete, Comma) or a code "
                   "(0x3B, or two or more decimal digits)")
        ->allow_extra_args(false)
        ->group("Window");
    app.add_option("--frames", frames_text,
                   "N: a 'q' key arrives in frame N (--keys N:q), so a program that quits on q "
                   "presents N frames")
        ->group("Window");
    app.add_option("--gui-fail", gui_fail,
                   "create|attach|both: those window calls answer -19 (no such device), to see a "
                   "program's fallback and failure paths")
        ->check(CLI::IsMember({"create", "attach", "both"}))
        ->group("Window");

    std::vector<std::string> args = normalise_arguments(app, argc, argv);
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : vekos::exit_status::usage;
    }
    std::vector<std::string> guest_argv = app.remaining();
    if (!guest_argv.empty() && guest_argv.front() == "--")
        guest_argv.erase(guest_argv.begin());
    if (guest_argv.empty())
        throw vekos::UsageError("no PROGRAM given (try --help)");
    const std::string& program = guest_argv.front();
    if (const uint64_t needed = vekos::argument_bytes(guest_argv); needed > vekos::kMaxArgumentBytes)
        throw vekos::UsageError("the arguments take " + std::to_string(needed) + " bytes of the program's stack; at most " +
                                std::to_string(vekos::kMaxArgumentBytes) + " fit");

    vekos::KernelOptions kopts;
    kopts.root = root;
    kopts.fast_clock = fast;
    for (const std::string& spec : injections) {
        try {
            kopts.injections.push_back(vekos::parse_injection(spec));
        } catch (const std::invalid_argument& e) {
            throw vekos::UsageError(e.what());
        }
        // The program's exit would come back to it, and _exit then spins for ever.
        if (kopts.injections.back().number == VEKOS_SYS_exit)
            throw vekos::UsageError("--inject " + spec + ": exit never returns to the program, so it has no answer "
                                    "to replace");
    }
    if (!file_limit_text.empty())
        kopts.quota.file_bytes = parse_size("--max-file-size", file_limit_text, vekos::FsQuota::kMaxFileBytes);
    if (!quota_text.empty())
        kopts.quota.total_bytes = parse_size("--fs-quota", quota_text, UINT64_MAX);
    vekos::MachineOptions mopts;
    if (!max_insns_text.empty())
        mopts.max_instructions = parse_count("--max-insns", max_insns_text, 1, UINT64_MAX);
    if (!timeout_text.empty())
        mopts.timeout_seconds = parse_seconds("--timeout", timeout_text);

    vekos::GuiOptions gopts;
    vekos::PresenterOptions popts;
    try {
        for (const std::string& list : key_lists) {
            auto keys = vekos::parse_keys(list);
            gopts.keys.insert(gopts.keys.end(), keys.begin(), keys.end());
        }
        if (!frames_text.empty())
            gopts.keys.push_back({parse_count("--frames", frames_text, 1, UINT64_MAX), 'q'});
        if (!gui_fail.empty())
            gopts.fail = vekos::parse_gui_failure(gui_fail);
        popts.display = vekos::parse_display(display);
    } catch (const std::invalid_argument& e) {
        throw vekos::UsageError(e.what());
    }

    // Every output path is checked before anything runs; none is touched yet.
    std::optional<vekos::OutputFile> record_file, screenshot_file, trace_file;
    if (!record.empty())
        popts.record = &record_file.emplace("--record", record);
    if (!screenshot.empty())
        screenshot_file.emplace("--screenshot", screenshot);
    if (!trace.empty() && trace != "-")
        trace_file.emplace("--trace", trace);

    vekos::ElfImage image;
    try {
        image = vekos::ElfImage::load(program);
    } catch (const vekos::LoadError& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return e.status();
    }

    vekos::HostConsole console;
    if (trace_file) {
        trace_file->set_wake(console.wake_fd());
        kopts.trace = [&](std::string_view line) {
            trace_file->write(line);
            trace_file->write("\n");
        };
    } else if (!trace.empty()) {
        kopts.trace = [&](std::string_view line) {
            std::string text = std::string(line) + "\n";
            std::span<const uint8_t> rest(reinterpret_cast<const uint8_t*>(text.data()), text.size());
            while (!rest.empty()) {
                int n = console.write(2, rest);
                if (n < 0)
                    throw std::runtime_error(std::string("--trace: cannot write to standard error: ") +
                                             std::strerror(-n));
                rest = rest.subspan(size_t(n));
            }
        };
    }
    std::unique_ptr<vekos::Presenter> presenter;
    if (popts.display != vekos::DisplayKind::none || popts.record) {
        try {
            presenter = std::make_unique<vekos::Presenter>(popts);
        } catch (const vekos::DisplayUnavailable& e) {
            std::cerr << "vekos-run: " << e.what() << "\n";
            return vekos::exit_status::usage;
        }
    }
    vekos::GuiService gui(gopts, presenter.get());
    vekos::Kernel kernel(kopts, console);
    kernel.set_window(&gui);
    vekos::Machine machine(image, kernel, mopts);
    vekos::Stop stop;
    {
        auto watching = signals.watch(machine);
        stop = machine.start(guest_argv);
    }

    // Whatever ended the program, what it made is kept.
    const uint64_t recorded = presenter ? presenter->finish() : 0;
    presenter.reset();  // the display is closed before anything more is printed
    if (record_file) {
        if (recorded > 0)
            record_file->commit();
        else
            std::cerr << "vekos-run: " << record_file->name() << ": no frame was presented, no file written\n";
    }
    if (screenshot_file) {
        if (gui.frames_presented() > 0) {
            vekos::write_png(*screenshot_file, gui.presented());
            screenshot_file->commit();
        } else {
            std::cerr << "vekos-run: " << screenshot_file->name() << ": no frame was presented, no file written\n";
        }
    }
    if (trace_file)
        trace_file->commit();

    const std::string who = "vekos-run: " + program + ": ";
    switch (stop.why) {
    case vekos::Stop::Why::Exited:
        return stop.exit_status & 0xFF;
    case vekos::Stop::Why::Timeout:
        std::cerr << who << "stopped after " << timeout_text << " s (--timeout)\n";
        return vekos::exit_status::timeout;
    case vekos::Stop::Why::InstructionLimit:
        std::cerr << who << "stopped by --max-insns " << mopts.max_instructions << " after "
                  << machine.instructions_executed()
                  << " instructions (the next block of instructions would have passed the limit)\n";
        return vekos::exit_status::instruction_limit;
    case vekos::Stop::Why::Interrupted:
        std::cerr << who << "stopped by " << signal_name(stop.signal) << "\n";
        return vekos::exit_status::signal_base + stop.signal;
    case vekos::Stop::Why::OutputClosed:
        std::cerr << who << "its standard output or error was closed (broken pipe); run ended\n";
        return vekos::exit_status::output_closed;
    case vekos::Stop::Why::Faulted:
        if (stop.fault) {
            std::cerr << who << stop.fault->message() << "\n";
            return stop.fault->status;
        }
        break;
    case vekos::Stop::Why::Returned:
        break;
    }
    throw std::logic_error("the run ended in a way vekos-run does not know");
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const vekos::UsageError& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::usage;
    } catch (const vekos::LoadError& e) {  // what only mapping the program shows
        std::cerr << "vekos-run: " << e.what() << "\n";
        return e.status();
    } catch (const std::exception& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::internal;
    }
}
