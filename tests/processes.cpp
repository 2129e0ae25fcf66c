#include "processes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace vekos::test {

static double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Process::Process(ProcessOptions options) : started_(now())
{
    std::vector<char*> argv;
    for (auto& a : options.argv)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2], pty = -1;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    winsize size{30, 100, 0, 0}; // rows, columns
    pid_ = options.terminal ? forkpty(&pty, nullptr, nullptr, &size) : fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) { // the test process runs no other thread: the environment may change here
        setsid();    // fails, harmlessly, where forkpty has made the session
        if (!options.terminal || options.output != ProcessOptions::Output::collected)
            dup2(out[1], 1);
        dup2(err[1], 2);
        if (!options.terminal)
            dup2(open("/dev/null", O_RDONLY), 0);
        for (const std::string& name : options.unset_env)
            unsetenv(name.c_str());
        for (const auto& [name, value] : options.set_env)
            setenv(name.c_str(), value.c_str(), 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    err_fd_ = UniqueFd(err[0]);
    if (options.output == ProcessOptions::Output::unread_pipe)
        kept_fd_ = UniqueFd(out[0]);
    else if (options.output == ProcessOptions::Output::collected && !options.terminal)
        pty = out[0];
    else
        close(out[0]);
    out_fd_ = UniqueFd(pty); // the pseudo-terminal, or the collected pipe
}

Process::~Process()
{
    if (!done)
        kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
}

void Process::signal(int signal_number)
{
    if (!done)
        kill(pid_, signal_number);
}

void Process::type(std::string_view bytes)
{
    ASSERT_EQ(write(out_fd_.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

bool Process::collect(int timeout_ms)
{
    pollfd fds[2] = {{out_fd_.get(), POLLIN, 0}, {err_fd_.get(), POLLIN, 0}};
    bool any = false;
    for (int i = 0, ready = poll(fds, 2, timeout_ms); ready > 0 && i < 2; ++i) {
        char buf[65536];
        const ssize_t n = fds[i].revents & (POLLIN | POLLHUP) ? read(fds[i].fd, buf, sizeof buf) : 0;
        if (n > 0)
            (i == 0 ? out : err).append(buf, size_t(n)), any = true;
    }
    return any;
}

bool Process::wait(double limit)
{
    for (const double end = now() + limit; !done; collect(10)) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            done = true;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
            seconds = now() - started_;
        } else if (now() >= end)
            return false;
    }
    // What is left in the pipes (a grandchild may hold them open: no waiting for their end).
    for (int i = 0; i < 20 && collect(10); ++i)
        continue;
    return true;
}

bool Process::wait_for_output(const std::string& text, double limit)
{
    for (const double end = now() + limit; out.find(text) == std::string::npos; collect(20))
        if (now() >= end)
            return false;
    return true;
}

RunResult run(ProcessOptions options, double seconds)
{
    const std::string name = options.argv.empty() ? "" : options.argv[0];
    Process p(std::move(options));
    if (!p.wait(seconds))
        ADD_FAILURE() << name << " did not finish within " << seconds << " s";
    return p;
}

} // namespace vekos::test
