// vekos-run: runs a vekos program on Linux, answering its kernel calls.
#include "base/errors.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/signal_stop.h"
#include "cli/summary.h"
#include "cpu/layout.h"
#include "debug/gdb_session.h"
#include "debug/gdb_socket.h"
#include "debug/machine_target.h"
#include "kernel/trace.h"
#include "session/session.h"
#include "window/presenter.h"
#include "window/record_png.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace vekos {
namespace {

// Output files are checked before anything runs; none is touched yet.
struct Outputs {
    std::optional<OutputFile> record, screenshot, trace;

    explicit Outputs(const RunOptions& run)
    {
        if (run.record)
            record.emplace("--record", *run.record);
        if (run.screenshot)
            screenshot.emplace("--screenshot", *run.screenshot);
        if (run.trace && *run.trace != "-")
            trace.emplace("--trace", *run.trace);
    }

    // Whatever ended the program, what it made is kept.
    void finish(Presenter* presenter, const Window& window)
    {
        const uint64_t recorded = presenter ? presenter->finish() : 0;
        if (record) {
            if (recorded > 0)
                record->commit();
            else
                std::cerr << "vekos-run: " << record->name() << ": no frame was presented, no file written\n";
        }
        if (screenshot) {
            if (window.frames_presented() > 0) {
                write_png(*screenshot, window.presented());
                screenshot->commit();
            } else {
                std::cerr << "vekos-run: " << screenshot->name() << ": no frame was presented, no file written\n";
            }
        }
        if (trace)
            trace->commit();
    }
};

// The trace's line writer: to a file, or to standard error through the
// console (so a wait on a full pipe can be cut short).
std::function<void(const GuestMemory&, const CallRecord&)> tracer(Outputs& outputs, HostConsole& console)
{
    if (outputs.trace) {
        outputs.trace->set_wake(console.wake_fd());
        return
            [&outputs](const GuestMemory& m, const CallRecord& c) { outputs.trace->write(format_call(m, c) + "\n"); };
    }
    return [&console](const GuestMemory& m, const CallRecord& c) {
        const std::string line = format_call(m, c) + "\n";
        std::span<const uint8_t> rest(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        while (!rest.empty()) {
            const int n = console.write(2, rest);
            if (n < 0)
                throw std::runtime_error(std::string("--trace: cannot write to standard error: ") + std::strerror(-n));
            rest = rest.subspan(size_t(n));
        }
    };
}

// The status vekos-run ends with, and the line that says why.
int report(const Stop& stop, const RunOptions& run, const Machine& machine)
{
    const std::string who = "vekos-run: " + run.argv.front() + ": ";
    switch (stop.why) {
    case Stop::Why::Exited: return stop.exit_status & 0xFF;
    case Stop::Why::Timeout: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", run.timeout_seconds);
        std::cerr << who << "stopped after " << seconds << " s (--timeout)\n";
        return exit_status::timeout;
    }
    case Stop::Why::InstructionLimit:
        std::cerr << who << "stopped by --max-insns " << run.max_instructions << " after "
                  << machine.instructions_executed()
                  << " instructions (the next block of instructions would have passed the limit)\n";
        return exit_status::instruction_limit;
    case Stop::Why::Interrupted:
        std::cerr << who << "stopped by " << signal_name(stop.signal) << "\n";
        return exit_status::signal_base + stop.signal;
    case Stop::Why::OutputClosed:
        std::cerr << who << "its standard output or error was closed (broken pipe); run ended\n";
        return exit_status::output_closed;
    case Stop::Why::Faulted:
        if (stop.fault) {
            std::cerr << who << crash_report(*stop.fault, machine.image()) << "\n";
            return stop.fault->status;
        }
        break;
    case Stop::Why::Returned:
    case Stop::Why::Paused: break;
    }
    throw std::logic_error("the run ended in a way vekos-run does not know");
}

// "--trace out.log ./prog" runs out.log: when that cannot be loaded, say what was likely meant.
ElfImage load_program(const RunOptions& run)
{
    try {
        return ElfImage::load(run.argv.front());
    } catch (const LoadError& e) {
        if (!run.trace_then_program)
            throw;
        throw LoadError(std::string(e.what())
                + "; --trace takes no value: to write the trace to a file use --trace-file FILE or --trace=FILE",
            e.status());
    }
}

// The program under GDB: stopped before its first instruction until GDB
// connects.  Killed by GDB: nullopt.  GDB gone (detached or not) or vekos-run
// told to stop: the program runs on to its end (or stops at once).
std::optional<Stop> debug_program(Session& session, const RunOptions& run, gdb::MachineTarget& target,
    gdb::GdbListener& listener, int cancel_fd)
{
    session.machine().prepare_start(run.argv);
    target.attach(session.machine());
    const std::string port = std::to_string(listener.port()); // one write: scripts read the port from it
    std::cerr << "vekos-run: " + run.argv.front() + ": waiting for gdb on 127.0.0.1:" + port
            + " (in gdb: target remote :" + port + ")\n";
    std::optional<gdb::SocketTransport> connection = listener.accept(cancel_fd);
    if (connection) {
        gdb::GdbSession debugging(target, *connection);
        const gdb::SessionEnd end = debugging.run();
        if (end == gdb::SessionEnd::killed)
            return std::nullopt;
        if (target.ended())
            return *target.ended();
        target.detach();
    }
    return session.machine().resume();
}

int run_program(int argc, char** argv)
{
    // First of all: no thread may start before the mask is set.
    SignalStop signals;
    // A closed standard output is reported by write (EPIPE) and ends the run cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    const std::optional<RunOptions> parsed = parse_command_line(argc, argv);
    if (!parsed)
        return 0; // --help
    const RunOptions& run = *parsed;
    if (const uint64_t needed = argument_bytes(run.argv); needed > kMaxArgumentBytes)
        throw UsageError("the arguments take " + std::to_string(needed) + " bytes of the program's stack; at most "
            + std::to_string(kMaxArgumentBytes) + " fit");
    Outputs outputs(run);
    ElfImage image = load_program(run);
    std::optional<gdb::GdbListener> listener;
    if (run.gdb_port) {
        try {
            listener.emplace(*run.gdb_port);
        } catch (const std::runtime_error& e) {
            throw UsageError(std::string("--gdb: ") + e.what());
        }
    }

    HostConsole console;
    std::unique_ptr<Presenter> presenter;
    if (run.display != DisplayKind::none || outputs.record) {
        try {
            presenter = std::make_unique<Presenter>(
                PresenterOptions{run.display, outputs.record ? &*outputs.record : nullptr});
        } catch (const DisplayUnavailable& e) {
            throw UsageError(e.what());
        }
    }
    SessionOptions options;
    options.root = run.root;
    options.console = &console;
    options.kernel.fast_clock = run.fast;
    options.kernel.quota = run.quota;
    options.kernel.injections = run.injections;
    std::optional<CallSummary> summary;
    if (run.summary)
        summary.emplace();
    auto trace = run.trace ? tracer(outputs, console) : nullptr;
    if (trace || summary)
        options.kernel.observer = [&run, &summary, trace](const GuestMemory& m, const CallRecord& c) {
            if (summary)
                summary->count(c);
            if (trace && (run.traced_calls.empty() || run.traced_calls.contains(c.in.eax)))
                trace(m, c);
        };
    options.machine.count_instructions = run.summary;
    options.machine.max_instructions = run.max_instructions;
    options.machine.timeout_seconds = run.timeout_seconds;
    options.coverage = run.coverage;
    gdb::MachineTarget target;
    if (listener)
        options.machine.observer = &target;
    options.window = WindowOptions{kWindowWidth, kWindowHeight, run.gui_fail, run.keys, {}};
    if (run.keys.empty() && (!presenter || presenter->display() == DisplayKind::none))
        options.window->on_keyless_wait = [&run] {
            std::cerr << "vekos-run: " << run.argv.front()
                      << " is waiting for window events, but with no display no key can come; it may run for "
                         "ever: use --display terminal or window to type keys, --frames N to end after N frames, "
                         "or --keys FRAME:KEY to script them\n";
        };
    options.viewer = presenter.get();
    std::optional<Session> made;
    try {
        made.emplace(std::move(image), std::move(options));
    } catch (const std::runtime_error& e) {
        if (!run.coverage || dynamic_cast<const LoadError*>(&e))
            throw;
        throw UsageError(std::string("--coverage: ") + e.what()); // no line table
    }
    Session& session = *made;

    std::optional<Stop> stop;
    {
        auto watching = signals.watch(session.machine());
        stop = listener ? debug_program(session, run, target, *listener, console.wake_fd()) : session.run(run.argv);
    }
    outputs.finish(presenter.get(), *session.window());
    presenter.reset(); // the display is closed before anything more is printed
    session.write_coverage();
    if (!stop) {
        std::cerr << "vekos-run: " << run.argv.front() << ": killed by the debugger\n";
        return exit_status::signal_base + SIGKILL;
    }
    const int status = report(*stop, run, session.machine());
    if (summary)
        std::cerr << summary->report(run.argv.front(), session.machine().instructions_executed());
    return status;
}

} // namespace
} // namespace vekos

int main(int argc, char** argv)
{
    try {
        return vekos::run_program(argc, argv);
    } catch (const vekos::UsageError& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::usage;
    } catch (const vekos::LoadError& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return e.status();
    } catch (const std::exception& e) {
        std::cerr << "vekos-run: " << e.what() << "\n";
        return vekos::exit_status::internal;
    }
}
