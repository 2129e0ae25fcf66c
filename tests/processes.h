// Programs the tests run as processes of their own (vekos-run, Xvfb, xdotool):
// standard output and error collected, or standard output a pipe nobody
// reads or whose reader has gone, or a pseudo-terminal to type on and watch.
#pragma once

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
    bool terminal = false;    // on a pseudo-terminal of 100 x 30: out() is what it showed
    bool new_session = false; // no controlling terminal
    int pass_fd = -1;         // kept open in the child under the same number
};

class Process {
public:
    explicit Process(ProcessOptions options); // throws std::runtime_error
    ~Process();                               // kills it if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Collects output until it ends or `seconds` pass; false on time-out.
    bool wait(double seconds);
    // Collects output until `text` shows or `seconds` pass.
    bool wait_for_output(const std::string& text, double seconds);
    bool running() const { return !done_; }
    void signal(int signal_number);
    void type(std::string_view bytes); // on its terminal
    termios terminal_mode() const;

    // Its exit status, or 1000 + the signal that killed it (told apart from an exit with 128 + N).
    int status() const { return status_; }
    double seconds() const { return seconds_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool collect(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1, kept_fd_ = -1; // kept: an unread pipe, held open
    bool done_ = false;
    int status_ = -1;
    double started_ = 0, seconds_ = 0;
    std::string out_, err_;
};

// Runs to the end (killed after `seconds`, and a failure reported).
struct RunResult {
    int status = -1;
    std::string out, err;
    double seconds = 0;
};
RunResult run(ProcessOptions options, double seconds = 60);

// Whether an executable of this name is on PATH.
bool on_path(const std::string& name);

} // namespace vekos::test
