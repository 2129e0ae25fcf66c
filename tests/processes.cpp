#include "processes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace vekos::test {
namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> environment(const ProcessOptions& options)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e, name = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const auto& u : options.unset_env)
            drop |= name == u;
        for (const auto& [n, v] : options.set_env)
            drop |= name == n;
        if (!drop)
            env.push_back(entry);
    }
    for (const auto& [n, v] : options.set_env)
        env.push_back(n + "=" + v);
    return env;
}

} // namespace

Process::Process(ProcessOptions options) : started_(now())
{
    std::vector<std::string> env = environment(options);
    std::vector<char*> envp, argv;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    for (auto& a : options.argv)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    winsize size{30, 100, 0, 0}; // rows, columns
    pid_ = options.terminal ? forkpty(&out_fd_, nullptr, nullptr, &size) : fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        if (options.new_session)
            setsid();
        if (!options.terminal || options.output != ProcessOptions::Output::collected)
            dup2(out[1], 1);
        dup2(err[1], 2);
        if (!options.terminal) {
            const int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
        }
        if (options.pass_fd >= 0)
            fcntl(options.pass_fd, F_SETFD, 0); // survives exec
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    err_fd_ = err[0];
    if (options.output == ProcessOptions::Output::closed_pipe)
        close(out[0]);
    else if (options.output == ProcessOptions::Output::unread_pipe)
        kept_fd_ = out[0];
    else if (!options.terminal)
        out_fd_ = out[0];
    else
        close(out[0]);
}

Process::~Process()
{
    if (!done_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_fd_, err_fd_, kept_fd_})
        if (fd >= 0)
            close(fd);
}

void Process::signal(int signal_number)
{
    if (!done_)
        kill(pid_, signal_number);
}

void Process::type(std::string_view bytes)
{
    ASSERT_EQ(write(out_fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

termios Process::terminal_mode() const
{
    termios t{};
    tcgetattr(out_fd_, &t);
    return t;
}

bool Process::collect(int timeout_ms)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    bool any = false;
    if (poll(fds, 2, timeout_ms) <= 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
            continue;
        char buf[65536];
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            (i == 0 ? out_ : err_).append(buf, size_t(n));
            any = true;
        }
    }
    return any;
}

bool Process::wait(double seconds)
{
    const double end = now() + seconds;
    while (!done_) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            done_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
            seconds_ = now() - started_;
            break;
        }
        if (now() >= end)
            return false;
        collect(10);
    }
    // What is left in the pipes (a grandchild may hold them open: no waiting for their end).
    for (int i = 0; i < 20 && collect(10); ++i)
        continue;
    return true;
}

bool Process::wait_for_output(const std::string& text, double seconds)
{
    for (const double end = now() + seconds; out_.find(text) == std::string::npos; collect(20))
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
    return {p.status(), p.out(), p.err(), p.seconds()};
}

bool on_path(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        if (access((std::filesystem::path(dirs.substr(start, end - start)) / name).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace vekos::test
