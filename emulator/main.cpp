// vekos-run: runs a vekos program on Linux, answering its kernel calls.
#include "console.h"
#include "elf_image.h"
#include "errors.h"
#include "kernel.h"
#include "machine.h"
#include "presenter.h"
#include "record_png.h"
#include "services_window.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kExitStatuses = R"(Exit status:
  the program's own exit status (its low 8 bits, as the host keeps them)
  2    vekos-run was used wrongly (unknown option, no PROGRAM)
  124  --timeout expired
  125  vekos-run itself failed
  126  PROGRAM cannot be run (not a 32-bit i386 static ELF executable, truncated,
       segments outside the address space or overlapping)
  127  PROGRAM not found
  132  the program executed an invalid instruction
  136  the program divided by zero
  139  the program made a memory fault (unmapped or protected access), a
       general protection fault, executed a privileged instruction (hlt)
       or raised a stray interrupt (int3, int n other than 0x80)
  152  --max-insns reached

Window: gui_create and gui_attach open one window of 640x480 pixels; the
frame calls draw into it and gui_present shows it (--display) and records it
(--record, --screenshot).  Keys typed on the display, and those of --keys,
reach gui_poll_event and gui_wait_event as key events (type 1, code the
character: 'q', 'Q', 27 Escape, '\n' Enter, 8 Backspace, 9 Tab, 127 Delete).
Closing the window sends Escape.  With no display gui_wait_event answers 0 at
once when no key is pending.

Kernel calls that fail answer a negative Linux errno number: -2 no such file,
-9 bad descriptor, -13 permission denied, -14 bad address, -17 exists,
-16 busy (a second window), -19 no such device (--gui-fail), -20 not a
directory, -21 is a directory, -22 invalid argument, -38 not implemented
(marked in the trace), -39 directory not empty.
)";

// "--trace" may stand alone or as "--trace=FILE"; a bare "--trace" must not
// swallow the program name, so it is rewritten before parsing.  An unknown
// option before PROGRAM is a usage error (the parser would take it for the
// program).
std::vector<std::string> normalise_arguments(const CLI::App& app, int argc, char** argv)
{
    static const std::vector<std::string> takes_value = {"--root",       "--inject", "--max-insns", "--timeout",
                                                         "--display",    "--record", "--screenshot", "--keys",
                                                         "--frames",     "--gui-fail"};
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
                throw std::invalid_argument("unknown option " + arg + " (try --help)");
            }
        }
        out.push_back(arg);
    }
    return out;
}

int run(int argc, char** argv)
{
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
    uint64_t max_insns = 0;
    double timeout = 0;
    app.add_option("--root", root, "Host directory that is the guest's \"/\" (default: the current directory)")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--fast", fast, "Virtual clock: sleeps take no real time");
    app.add_option("--trace", trace,
                   "--trace or --trace=FILE: one line per kernel call, strace-style, to standard error "
                   "or FILE");
    app.add_option("--inject", injections,
                   "CALL[@N]=ANSWER: the Nth call (every call without @N) of CALL, by name or number, "
                   "answers ANSWER without being performed (repeatable)")
        ->allow_extra_args(false);  // one value each time: never the program name
    app.add_option("--max-insns", max_insns, "Stop the program after about N instructions")
        ->check(CLI::PositiveNumber);
    app.add_option("--timeout", timeout, "Stop the program after S seconds of real time")
        ->check(CLI::PositiveNumber);

    std::string display = "auto";
    std::string record, screenshot, gui_fail;
    std::vector<std::string> key_lists;
    uint64_t frames = 0;
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
    app.add_option("--frames", frames,
                   "N: a 'q' key arrives in frame N (--keys N:q), so a program that quits on q "
                   "presents N frames")
        ->check(CLI::PositiveNumber)
        ->group("Window");
    app.add_option("--gui-fail", gui_fail,
                   "create|attach|both: those window calls answer -19 (no such device), to see a "
                   "program's fallback and failure paths")
        ->check(CLI::IsMember({"create", "attach", "both"}))
        ->group("Window");

    std::vector<std::string> args;
    try {
        args = normalise_arguments(app, argc, argv);
    } catch (const std::invalid_argument& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::usage;
    }
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
    if (guest_argv.empty()) {
        std::cerr << "vekos-run: no PROGRAM given (try --help)\n";
        return vekos::exit_status::usage;
    }
    const std::string& program = guest_argv.front();

    vekos::KernelOptions kopts;
    kopts.root = root;
    kopts.fast_clock = fast;
    try {
        for (const std::string& spec : injections)
            kopts.injections.push_back(vekos::parse_injection(spec));
    } catch (const std::invalid_argument& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::usage;
    }
    vekos::GuiOptions gopts;
    vekos::PresenterOptions popts;
    try {
        for (const std::string& list : key_lists) {
            auto keys = vekos::parse_keys(list);
            gopts.keys.insert(gopts.keys.end(), keys.begin(), keys.end());
        }
        if (frames)
            gopts.keys.push_back({frames, 'q'});
        if (!gui_fail.empty())
            gopts.fail = vekos::parse_gui_failure(gui_fail);
        popts.display = vekos::parse_display(display);
    } catch (const std::invalid_argument& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::usage;
    }
    if (!record.empty())
        popts.record = record;
    std::unique_ptr<std::ofstream> trace_file;
    if (!trace.empty()) {
        std::ostream* sink = &std::cerr;
        if (trace != "-") {
            trace_file = std::make_unique<std::ofstream>(trace);
            if (!*trace_file) {
                std::cerr << "vekos-run: --trace=" << trace << ": cannot open for writing\n";
                return vekos::exit_status::usage;
            }
            sink = trace_file.get();
        }
        kopts.trace = [sink](std::string_view line) { *sink << line << std::endl; };
    }

    vekos::ElfImage image;
    try {
        image = vekos::ElfImage::load(program);
    } catch (const vekos::LoadError& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return e.status();
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
    vekos::HostConsole console;
    vekos::Kernel kernel(kopts, console);
    kernel.set_window(&gui);
    vekos::MachineOptions mopts;
    mopts.max_instructions = max_insns;
    mopts.timeout_seconds = timeout;
    vekos::Machine machine(image, kernel, mopts);
    vekos::Stop stop = machine.start(guest_argv);

    // Whatever ended the program, what it presented is kept.
    const uint64_t recorded = presenter ? presenter->finish() : 0;
    if (popts.record && recorded == 0) {
        std::error_code ignored;
        std::filesystem::remove(*popts.record, ignored);
        std::cerr << "vekos-run: --record " << record << ": no frame was presented, no file written\n";
    }
    if (!screenshot.empty()) {
        if (gui.frames_presented() > 0)
            vekos::write_png(screenshot, gui.presented());
        else
            std::cerr << "vekos-run: --screenshot " << screenshot << ": no frame was presented, no file written\n";
    }
    switch (stop.why) {
    case vekos::Stop::Why::Exited:
        return stop.exit_status & 0xFF;
    case vekos::Stop::Why::Timeout:
        std::cerr << "vekos-run: " << program << ": stopped after " << timeout << " s (--timeout)\n";
        return vekos::exit_status::timeout;
    case vekos::Stop::Why::InstructionLimit:
        std::cerr << "vekos-run: " << program << ": stopped after " << machine.instructions_executed()
                  << " instructions (--max-insns " << max_insns << ")\n";
        return vekos::exit_status::instruction_limit;
    case vekos::Stop::Why::Returned:
    case vekos::Stop::Why::Faulted:
        break;
    }
    const vekos::Fault& f = *stop.fault;
    std::cerr << "vekos-run: " << program << ": " << f.message() << "\n";
    return f.status;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::internal;
    }
}
