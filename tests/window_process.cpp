#include "window_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace vekos::test {

Child::Child(ChildOptions options)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
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
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        if (options.new_session)
            setsid();
        dup2(out[1], 1);
        dup2(err[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (options.pass_fd >= 0)
            fcntl(options.pass_fd, F_SETFD, 0); // survives exec
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

Child::~Child()
{
    if (!done_) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

void Child::signal(int signal_number)
{
    if (!done_)
        kill(pid_, signal_number);
}

void Child::drain(int timeout_ms)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0)
        return;
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP)))
            continue;
        char buf[65536];
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0)
            (i == 0 ? out_ : err_).append(buf, size_t(n));
    }
}

bool Child::wait(double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done_) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            done_ = true;
            if (WIFEXITED(st))
                status_ = WEXITSTATUS(st);
            else if (WIFSIGNALED(st))
                signal_ = WTERMSIG(st);
            break;
        }
        if (std::chrono::steady_clock::now() >= end)
            return false;
        drain(10);
    }
    // What is left in the pipes (a grandchild may hold them open: do not wait for EOF).
    for (int i = 0; i < 5; ++i)
        drain(0);
    return true;
}

RunResult run_child(ChildOptions options, double seconds)
{
    const auto start = std::chrono::steady_clock::now();
    Child child(std::move(options));
    RunResult r;
    r.finished = child.wait(seconds);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = child.exit_status();
    r.out = child.out();
    r.err = child.err();
    return r;
}

bool on_path(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && access((std::filesystem::path(dir) / name).c_str(), X_OK) == 0)
            return true;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return false;
}

} // namespace vekos::test
