// Ends a run on SIGINT, SIGTERM, SIGHUP or SIGQUIT the way --timeout does, so
// whatever ends the program, the terminal is given back and the output files
// are written.  The signals are blocked in every thread (the constructor must
// run before any thread starts) and taken by one thread of its own with
// sigwait, so no signal handler and no global state are involved.
#pragma once

#include "cpu/machine.h"

#include <memory>
#include <signal.h>
#include <thread>

namespace vekos {

class SignalStop {
public:
    SignalStop();
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // While it lives, a signal stops this machine's run.
    class Watch {
    public:
        Watch(const sigset_t& set, Machine& machine);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        std::thread thread_;
    };
    std::unique_ptr<Watch> watch(Machine& machine) { return std::make_unique<Watch>(set_, machine); }

private:
    sigset_t set_;
};

// "SIGINT", or "signal N".
std::string signal_name(int signal);

} // namespace vekos
