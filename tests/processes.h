// Programs the tests run as processes of their own (vekos-run, Xvfb, xdotool),
// each in a session of its own (no controlling terminal to find): standard
// output and error collected, or standard output a pipe nobody reads or whose
// reader has gone, or a pseudo-terminal to type on and watch.
#pragma once

#include "base/unique_fd.h"

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vekos::test {

struct ProcessOptions {
    std::vector<std::string> argv; // argv[0]: a path, or a name looked up in PATH
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    enum class Output { collected, unread_pipe, closed_pipe } output = Output::collected;
    bool terminal = false; // on a pseudo-terminal of 100 x 30: out() is what it showed
};

// How a process ended (so far): its exit status, or 1000 + the signal that killed it (apart from an exit with
// 128 + N), what it wrote, and how long it ran.
struct RunResult {
    int status = -1;
    std::string out, err;
    double seconds = 0;
};

class Process : public RunResult {
public:
    explicit Process(ProcessOptions options); // throws std::runtime_error
    ~Process();                               // kills it if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Collects output until it ends or `limit` seconds pass; false on time-out.
    bool wait(double limit);
    // Collects output until `text` shows or `limit` seconds pass.
    bool wait_for_output(const std::string& text, double limit);
    void signal(int signal_number);
    void type(std::string_view bytes); // on its terminal
    termios terminal_mode() const
    {
        termios t{};
        return tcgetattr(out_fd_.get(), &t), t;
    }

    bool done = false;

private:
    bool collect(int timeout_ms);

    double started_;
    pid_t pid_ = -1;
    UniqueFd out_fd_, err_fd_, kept_fd_; // kept: an unread pipe, held open
};

// Runs to the end (killed after `seconds`, and a failure reported).
RunResult run(ProcessOptions options, double seconds = 60);

} // namespace vekos::test
