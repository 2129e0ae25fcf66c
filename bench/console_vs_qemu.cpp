// One-byte console writes: vekos-run running a vekos guest against qemu-i386
// running an i386 Linux program doing the same write(1, ...) calls, both with
// standard output on /dev/null.  Each tool runs with two call counts, so the
// difference gives the time per write with start-up taken out.
//
// Two loops are timed: through the C library's write() (the figure that
// counts), and a bare trap loop that stores nothing to memory, which shows
// how much of the difference is the guest's stores rather than the call.
//
// Usage: vekos_bench_console VEKOS_RUN GUEST_PROGRAM [QEMU_I386 LINUX_PROGRAM]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr unsigned long kSmall = 20000;
constexpr unsigned long kLarge = 1020000;
constexpr int kRepeats = 5;

// CPU seconds (user + system) one run took, or a negative value if it failed.
// CPU time rather than real time: the machine may be busy with other work.
double run_once(const std::vector<std::string>& argv)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    int err = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
        return -1;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) { }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Tool {
    const char* name;
    std::vector<std::string> argv;
    double small = 1e30, large = 1e30; // shortest run with each count
    bool ok = true;
    double per_write_ns() const { return (large - small) / double(kLarge - kSmall) * 1e9; }
    double startup_ms() const { return (small - per_write_ns() * 1e-9 * double(kSmall)) * 1e3; }
};

double run_with(const Tool& tool, unsigned long n, bool bare)
{
    std::vector<std::string> argv = tool.argv;
    argv.push_back(std::to_string(n));
    if (bare)
        argv.push_back("bare");
    return run_once(argv);
}

// The tools take turns, so a busy machine slows them alike; each keeps its
// shortest time.
void measure(std::vector<Tool>& tools, bool bare)
{
    for (int i = 0; i < kRepeats; ++i)
        for (Tool& t : tools) {
            if (!t.ok)
                continue;
            double small = run_with(t, kSmall, bare);
            double large = run_with(t, kLarge, bare);
            if (small < 0 || large < 0) {
                t.ok = false;
                continue;
            }
            t.small = std::min(t.small, small);
            t.large = std::min(t.large, large);
        }
    for (const Tool& t : tools) {
        if (!t.ok) {
            std::printf("  %s: the program failed to run\n", t.name);
            continue;
        }
        std::printf("  %-10s N=%-8lu %9.2f ms   N=%-8lu %9.2f ms   per write %7.1f ns   start-up %6.2f ms\n", t.name,
            kSmall, t.small * 1e3, kLarge, t.large * 1e3, t.per_write_ns(), t.startup_ms());
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: %s VEKOS_RUN GUEST_PROGRAM [QEMU_I386 LINUX_PROGRAM]\n", argv[0]);
        return 2;
    }
    std::printf("5. Console write, 1 byte per call, stdout on /dev/null (CPU time, shortest of %d runs)\n", kRepeats);
    bool ok = true;
    for (bool bare : {false, true}) {
        std::printf(bare ? " bare trap loop, no guest stores per call:\n"
                         : " through the C library's write() (5 guest stores per call):\n");
        std::vector<Tool> tools = {Tool{"vekos-run", {argv[1], argv[2]}}};
        if (argc == 5)
            tools.push_back(Tool{"qemu-i386", {argv[3], argv[4]}});
        measure(tools, bare);
        if (argc != 5)
            std::printf("  qemu-i386: not available, no comparison\n");
        else if (tools[0].ok && tools[1].ok)
            std::printf("  ratio vekos-run / qemu-i386, time per write: %.2f%s\n",
                tools[0].per_write_ns() / tools[1].per_write_ns(), bare ? "" : "  (aim <= 1)");
        ok = ok && tools[0].ok;
    }
    return ok ? 0 : 1;
}
