// Errors the stand-in reports to its user, each with the exit status it leads to.
#pragma once

#include <stdexcept>
#include <string>

namespace vekos {

namespace exit_status {
constexpr int usage = 2;
constexpr int timeout = 124;
constexpr int internal = 125;
constexpr int cannot_load = 126;
constexpr int not_found = 127;
constexpr int signal_base = 128;         // 128 + the signal that stopped the run
constexpr int output_closed = 141;       // like SIGPIPE: standard output or error went away
constexpr int invalid_instruction = 132; // like SIGILL
constexpr int divide_error = 136;        // like SIGFPE
constexpr int memory_fault = 139;        // like SIGSEGV
constexpr int instruction_limit = 152;   // like SIGXCPU
} // namespace exit_status

// The program file cannot be run: names the file and what is wrong with it.
class LoadError : public std::runtime_error {
public:
    LoadError(const std::string& message, int status) : std::runtime_error(message), status_(status) { }
    int status() const { return status_; }

private:
    int status_;
};

// vekos-run was used wrongly: the message names the option and what is wrong.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace vekos
