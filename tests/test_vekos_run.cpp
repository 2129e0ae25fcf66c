// vekos-run as its user meets it: the real program in a child process, its
// exit status, standard output and error, and the files it leaves.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace vekos::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int status = -1;  // exit status, or 1000 + signal
    std::string out, err;
    double seconds = 0;
};

fs::path vekos_run() { return build_dir() / "bin/vekos-run"; }
fs::path crasher() { return build_dir() / "tests/vekos_crasher"; }

// Runs vekos-run with these arguments; no shell, stdin empty, killed if it
// outlives the limit.
Outcome run(const std::vector<std::string>& args, double limit_seconds = 10)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv_strings = {vekos_run().string()};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    Outcome r;
    auto began = Clock::now();
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("cannot start " + vekos_run().string() + ": " + std::strerror(rc));
    }
    auto deadline = began + std::chrono::duration<double>(limit_seconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_pipes = 2;
    bool killed = false;
    while (open_pipes > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, int(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
    if (killed)
        ADD_FAILURE() << "vekos-run did not finish within " << limit_seconds << " s";
    return r;
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class VekosRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "vekos-run-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
    }
    void TearDown() override { fs::remove_all(dir_); }
    // The crasher with a sandbox of its own.
    std::vector<std::string> crash(std::vector<std::string> options, std::vector<std::string> args)
    {
        options.insert(options.end(), {"--root", dir_.string(), crasher().string()});
        options.insert(options.end(), args.begin(), args.end());
        return options;
    }
    fs::path dir_;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(VekosRunTest, ProgramsExitWithTheirOwnStatus)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const std::vector<Row> rows = {
        {{"exit", "0"}, 0, ""},
        {{"exit", "7"}, 7, ""},
        {{"exit", "255"}, 255, ""},
        {{"exit", "300"}, 300 & 0xFF, ""},
        {{"exit", "-1"}, 255, ""},
        {{"echo", "hello", "world"}, 0, "hello world\n"},
        {{"echo", "--fast", "--help"}, 0, "--fast --help\n"},  // options after the program are its own
        {{"bogus"}, 2, ""},
    };
    for (const Row& row : rows) {
        Outcome r = run(crash({}, row.args));
        EXPECT_EQ(r.status, row.status) << row.args[0];
        EXPECT_EQ(r.out, row.out) << row.args[0];
    }
}

TEST_F(VekosRunTest, FaultsEndWithTheirStatusAndAReport)
{
    struct Row {
        std::vector<std::string> options;
        std::string mode;
        int status;
        std::vector<std::string> said;  // parts of the report on standard error
    };
    const std::vector<Row> rows = {
        {{}, "null", 139,
         {"segmentation fault: write to unmapped memory at 0x00000000 (4 bytes); eip 0x", ": mov dword ptr ["}},
        {{}, "div", 136, {"divide error", "; eip 0x", "div"}},
        {{}, "ud2", 132, {"invalid instruction", "; eip 0x", ": ud2"}},
        {{"--max-insns", "100000"}, "spin", 152, {"(--max-insns 100000)"}},
    };
    for (const Row& row : rows) {
        Outcome r = run(crash(row.options, {row.mode}));
        EXPECT_EQ(r.status, row.status) << row.mode;
        EXPECT_EQ(r.out, "") << row.mode;
        EXPECT_EQ(r.err.rfind("vekos-run: " + crasher().string() + ": ", 0), 0u) << r.err;
        for (const std::string& part : row.said)
            EXPECT_TRUE(contains(r.err, part)) << row.mode << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(VekosRunTest, TimeoutStopsSpinningAndSleepingPrograms)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"spin"}, {"sleep", "100"}}) {
        Outcome r = run(crash({"--timeout", "0.5"}, args), 10);
        EXPECT_EQ(r.status, 124) << args[0];
        EXPECT_GE(r.seconds, 0.45) << args[0];
        EXPECT_LT(r.seconds, 3.0) << args[0];
        EXPECT_TRUE(contains(r.err, "stopped after 0.5 s (--timeout)")) << r.err;
    }
    // A program that ends in time is not touched.
    Outcome quick = run(crash({"--timeout", "5"}, {"exit", "3"}));
    EXPECT_EQ(quick.status, 3);
    EXPECT_LT(quick.seconds, 3.0);
}

TEST_F(VekosRunTest, FastClockSkipsSleeping)
{
    Outcome r = run(crash({"--fast"}, {"sleep", "1000"}), 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.seconds, 3.0);
    // Without it the time is really spent.
    Outcome real = run(crash({}, {"sleep", "1"}), 10);
    EXPECT_EQ(real.status, 0);
    EXPECT_GE(real.seconds, 0.95);
}

TEST_F(VekosRunTest, ProgramsThatCannotRun)
{
    fs::path text = dir_ / "script.txt";
    std::ofstream(text) << "echo hi\n";
    struct Row {
        std::string program;
        int status;
        std::string report;
    };
    const std::vector<Row> rows = {
        {(dir_ / "missing").string(), 127, (dir_ / "missing").string() + ": no such file"},
        {text.string(), 126, text.string() + ": not an ELF file"},
        {"/bin/true", 126, "/bin/true: not a 32-bit ELF file (it is 64-bit)"},
        {dir_.string(), 126, dir_.string() + ": is a directory, not a program"},
    };
    for (const Row& row : rows) {
        Outcome r = run({"--root", dir_.string(), row.program});
        EXPECT_EQ(r.status, row.status) << row.program;
        EXPECT_EQ(r.err, "vekos-run: " + row.report + "\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(VekosRunTest, UsageErrorsExitWithTwo)
{
    struct Row {
        std::vector<std::string> args;
        std::string said;
    };
    const std::vector<Row> rows = {
        {{}, "no PROGRAM given"},
        {{"--fast"}, "no PROGRAM given"},
        {{"--bogus", crasher().string()}, "vekos-run: unknown option --bogus (try --help)\n"},
        {{"-x", crasher().string()}, "unknown option -x"},
        {{"--fast", "--roots=/", crasher().string()}, "unknown option --roots=/"},
        {{"--inject", "nosuch=1", crasher().string()}, "--inject nosuch=1: unknown call 'nosuch'"},
        {{"--inject", "write@0=1", crasher().string()}, "--inject write@0=1: N must be a positive whole number"},
        {{"--inject", "write", crasher().string()}, "--inject write: missing '='"},
        {{"--max-insns", "0", crasher().string()}, "--max-insns"},
        {{"--timeout", "-1", crasher().string()}, "--timeout"},
        {{"--root", (dir_ / "absent").string(), crasher().string()}, "--root"},
    };
    for (const Row& row : rows) {
        Outcome r = run(row.args);
        std::string label = row.args.empty() ? "(none)" : row.args[0];
        EXPECT_EQ(r.status, 2) << label << ": " << r.err;
        EXPECT_TRUE(contains(r.err, row.said)) << label << ": " << r.err;
        EXPECT_EQ(r.out, "") << label;
    }
}

TEST_F(VekosRunTest, OptionsEndAtTheProgramOrAtDoubleDash)
{
    // A repeatable option right before the program takes one value, not the program.
    Outcome inject = run({"--root", dir_.string(), "--inject", "write@1=-5", crasher().string(), "echo", "a", "b"});
    EXPECT_EQ(inject.status, 1) << inject.err;
    EXPECT_EQ(inject.out, "b\n");
    Outcome dashes = run({"--root", dir_.string(), "--", crasher().string(), "echo", "--", "-x"});
    EXPECT_EQ(dashes.status, 0) << dashes.err;
    EXPECT_EQ(dashes.out, "-- -x\n");
    Outcome forms = run({"--root=" + dir_.string(), "--inject=write=-5", "--timeout=5", "--max-insns=100000000",
                         crasher().string(), "echo", "z"});
    EXPECT_EQ(forms.status, 1) << forms.err;
    EXPECT_EQ(forms.out, "");
}

TEST_F(VekosRunTest, TraceGoesToStandardErrorOrAFile)
{
    Outcome r = run(crash({"--trace"}, {"echo", "hi"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "hi\n");
    EXPECT_EQ(r.err, "write(1, \"hi\\n\", 3) = 3\nexit(0) = ?\n");

    fs::path file = dir_ / "trace.log";
    Outcome f = run(crash({"--trace=" + file.string()}, {"echo", "a", "b"}));
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.out, "a b\n");
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(slurp(file), "write(1, \"a \", 2) = 2\nwrite(1, \"b\\n\", 2) = 2\nexit(0) = ?\n");

    Outcome bad = run(crash({"--trace=" + (dir_ / "no/such/dir/log").string()}, {"exit", "0"}));
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(contains(bad.err, "cannot open for writing")) << bad.err;
}

TEST_F(VekosRunTest, InjectedAnswersReachTheProgram)
{
    Outcome r = run(crash({"--inject", "write@2=-5", "--trace"}, {"echo", "one", "two", "three"}));
    EXPECT_EQ(r.status, 1);  // one failed write
    EXPECT_EQ(r.out, "one three\n");
    EXPECT_TRUE(contains(r.err, "write(1, \"two \", 4) = -5 (injected)\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "exit(1) = ?\n")) << r.err;

    // The option repeats; a call given by number.
    Outcome both = run(crash({"--inject", "write@1=-9", "--inject", "1@3=-9"}, {"echo", "x", "y", "z"}));
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.out, "y ");
}

TEST_F(VekosRunTest, RootIsTheProgramsSlash)
{
    Outcome w = run(crash({}, {"write", "/out.txt", "hello"}));
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(slurp(dir_ / "out.txt"), "hello");
    Outcome escape = run(crash({}, {"write", "../../escaped.txt", "x"}));
    EXPECT_EQ(escape.status, 0);
    EXPECT_EQ(slurp(dir_ / "escaped.txt"), "x");
    EXPECT_FALSE(fs::exists(dir_.parent_path() / "escaped.txt"));
    Outcome cat = run(crash({}, {"cat", "/out.txt"}));
    EXPECT_EQ(cat.status, 0);
    EXPECT_EQ(cat.out, "hello");
    Outcome missing = run(crash({}, {"cat", "/nothing"}));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "cat: cannot open\n");
    Outcome refused = run(crash({}, {"write", "/no/dir/f", "x"}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "no"));
}

TEST_F(VekosRunTest, HelpNamesEveryOptionAndStatus)
{
    Outcome r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"--root", "--fast", "--trace", "--inject", "--max-insns", "--timeout", "--help",
                             "PROGRAM", "2 ", "124", "125", "126", "127", "132", "136", "139", "152"})
        EXPECT_TRUE(contains(r.out, part)) << part;
    EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace vekos::test
