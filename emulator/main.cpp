// vekos-run: runs a vekos program on Linux, answering its kernel calls.
#include "console.h"
#include "elf_image.h"
#include "errors.h"
#include "kernel.h"
#include "machine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
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
       general protection fault or executed a privileged instruction
  152  --max-insns reached

Kernel calls that fail answer a negative Linux errno number: -2 no such file,
-9 bad descriptor, -13 permission denied, -14 bad address, -17 exists,
-20 not a directory, -21 is a directory, -22 invalid argument, -38 not
implemented (marked in the trace), -39 directory not empty.
)";

// "--trace" may stand alone or as "--trace=FILE"; a bare "--trace" must not
// swallow the program name, so it is rewritten before parsing.
std::vector<std::string> normalise_arguments(int argc, char** argv)
{
    static const std::vector<std::string> takes_value = {"--root", "--inject", "--max-insns", "--timeout"};
    std::vector<std::string> out;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options) {
            if (arg == "--trace") {
                arg = "--trace=-";
            } else if (arg == "--") {
                options = false;
            } else if (std::find(takes_value.begin(), takes_value.end(), arg) != takes_value.end()) {
                out.push_back(arg);
                if (i + 1 < argc)
                    out.push_back(argv[++i]);
                continue;
            } else if (arg.empty() || arg[0] != '-') {
                options = false;
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
                 "int 0x80 kernel calls: console, a sandboxed file system, sleeping, exit.",
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
                   "answers ANSWER without being performed (repeatable)");
    app.add_option("--max-insns", max_insns, "Stop the program after about N instructions")
        ->check(CLI::PositiveNumber);
    app.add_option("--timeout", timeout, "Stop the program after S seconds of real time")
        ->check(CLI::PositiveNumber);

    std::vector<std::string> args = normalise_arguments(argc, argv);
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : vekos::exit_status::usage;
    }
    std::vector<std::string> guest_argv = app.remaining();
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

    vekos::HostConsole console;
    vekos::Kernel kernel(kopts, console);
    vekos::MachineOptions mopts;
    mopts.max_instructions = max_insns;
    mopts.timeout_seconds = timeout;
    vekos::Machine machine(image, kernel, mopts);
    vekos::Stop stop = machine.start(guest_argv);
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
