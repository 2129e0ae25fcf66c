// Child processes for the window tests: vekos-run itself, Xvfb, xwd.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vekos::test {

struct ChildOptions {
    std::vector<std::string> argv; // argv[0] is the program's path (or a name looked up in PATH)
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    bool new_session = false; // no controlling terminal
    int pass_fd = -1;         // kept open in the child under the same number
};

class Child {
public:
    explicit Child(ChildOptions options); // throws std::runtime_error
    ~Child();                             // kills a child still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Collects output until the child ends or `seconds` pass; false on time-out.
    bool wait(double seconds);
    bool running() const { return !done_; }
    void signal(int signal_number);

    int exit_status() const { return status_; } // -1 when ended by a signal
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    void drain(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    bool done_ = false;
    int status_ = -1, signal_ = 0;
    std::string out_, err_;
};

// Runs to the end (killed after `seconds`); the result's running() tells a time-out.
struct RunResult {
    bool finished = false;
    int status = -1;
    std::string out, err;
    double seconds = 0;
};
RunResult run_child(ChildOptions options, double seconds = 60);

// Whether an executable of this name is on PATH.
bool on_path(const std::string& name);

} // namespace vekos::test
