// vekos-run as its user meets it: the real program in a child process, its
// exit status, standard output and error, and the files it leaves.
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace vekos::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

struct Outcome {
    int status = -1;  // exit status, or 1000 + signal
    std::string out, err;
    double seconds = 0;
};

fs::path vekos_run() { return build_dir() / "bin/vekos-run"; }
std::string crasher() { return (build_dir() / "tests/vekos_crasher").string(); }
std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class VekosRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "vekos-run-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        root_ = dir_ / "root";  // the program's "/"; its output is captured beside it
        fs::create_directory(root_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs vekos-run with these arguments: no shell, stdin empty, killed if it outlives the limit.
    Outcome run(const Args& args, double limit_seconds = 10)
    {
        Args strings = {vekos_run().string()};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : strings)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        auto began = Clock::now();
        pid_t pid = 0;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " + strings[0] + ": " + std::strerror(rc));
        int wstatus = 0;
        while (waitpid(pid, &wstatus, WNOHANG) == 0) {
            if (Clock::now() - began > std::chrono::duration<double>(limit_seconds)) {
                ADD_FAILURE() << "vekos-run did not finish within " << limit_seconds << " s";
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus), slurp(out), slurp(err),
                std::chrono::duration<double>(Clock::now() - began).count()};
    }
    // The crasher with a sandbox of its own.
    Outcome crash(Args options, const Args& args, double limit_seconds = 10)
    {
        options.insert(options.end(), {"--root", root_.string(), crasher()});
        options.insert(options.end(), args.begin(), args.end());
        return run(options, limit_seconds);
    }
    fs::path dir_, root_;
};

TEST_F(VekosRunTest, FaultsEndWithTheirStatusAndAOneLineReport)
{
    const std::vector<std::tuple<Args, int, Args>> rows = {
        {{"null"}, 139, {"segmentation fault: write to unmapped memory at 0x00000000 (4 bytes); eip 0x", ": mov dword ptr ["}},
        {{"div"}, 136, {"divide error", "; eip 0x", "div"}},
        {{"ud2"}, 132, {"invalid instruction", "; eip 0x", ": ud2"}},
        {{"--max-insns", "100000", "spin"}, 152, {"(--max-insns 100000)"}},
    };
    for (const auto& [args, status, said] : rows) {
        Outcome r = args.size() > 1 ? crash({args[0], args[1]}, {args[2]}) : crash({}, args);
        EXPECT_EQ(r.status, status) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_EQ(r.err.rfind("vekos-run: " + crasher() + ": ", 0), 0u) << r.err;
        for (const std::string& part : said)
            EXPECT_TRUE(contains(r.err, part)) << args.back() << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(VekosRunTest, TimeoutStopsSpinningAndSleepingProgramsAndFastSkipsSleeping)
{
    for (const Args& args : {Args{"spin"}, Args{"sleep", "100"}}) {
        Outcome r = crash({"--timeout", "0.5"}, args);
        EXPECT_EQ(r.status, 124) << args[0];
        EXPECT_GE(r.seconds, 0.45) << args[0];
        EXPECT_LT(r.seconds, 3.0) << args[0];
        EXPECT_TRUE(contains(r.err, "stopped after 0.5 s (--timeout)")) << r.err;
    }
    // A program that ends in time is not touched; without --fast sleeping really takes the time.
    for (const auto& [options, args, status, least, most] : std::vector<std::tuple<Args, Args, int, double, double>>{
             {{"--timeout", "5"}, {"exit", "3"}, 3, 0, 3}, {{"--fast"}, {"sleep", "1000"}, 0, 0, 3}, {{}, {"sleep", "1"}, 0, 0.95, 10}}) {
        Outcome r = crash(options, args);
        EXPECT_EQ(r.status, status) << args[1];
        EXPECT_GE(r.seconds, least) << args[1];
        EXPECT_LT(r.seconds, most) << args[1];
    }
}

// Usage errors exit with 2; programs that cannot run with 126, or 127 when missing, and an exact report.
TEST_F(VekosRunTest, UsageErrorsAndProgramsThatCannotRun)
{
    const std::string root = root_.string(), text = (root_ / "script.txt").string(), missing = (root_ / "missing").string();
    std::ofstream(text) << "echo hi\n";
    const std::vector<std::tuple<Args, int, std::string>> rows = {
        {{}, 2, "no PROGRAM given"},
        {{"--fast"}, 2, "no PROGRAM given"},
        {{"-x", crasher()}, 2, "unknown option -x"},
        {{"--fast", "--roots=/", crasher()}, 2, "unknown option --roots=/"},
        {{"--inject", "nosuch=1", crasher()}, 2, "--inject nosuch=1: unknown call 'nosuch'"},
        {{"--inject", "write@0=1", crasher()}, 2, "--inject write@0=1: N must be a positive whole number"},
        {{"--inject", "write", crasher()}, 2, "--inject write: missing '='"},
        {{"--max-insns", "0", crasher()}, 2, "--max-insns"},
        {{"--timeout", "-1", crasher()}, 2, "--timeout"},
        {{"--root", (dir_ / "absent").string(), crasher()}, 2, "--root"},
        {{"--trace=" + (dir_ / "no/such/dir/log").string(), crasher(), "exit", "0"}, 2, "cannot open for writing"},
        // A report ending in a newline is the whole of standard error.
        {{"--bogus", crasher()}, 2, "vekos-run: unknown option --bogus (try --help)\n"},
        {{"--root", root, missing}, 127, "vekos-run: " + missing + ": no such file\n"},
        {{"--root", root, text}, 126, "vekos-run: " + text + ": not an ELF file\n"},
        {{"--root", root, "/bin/true"}, 126, "vekos-run: /bin/true: not a 32-bit ELF file (it is 64-bit)\n"},
        {{"--root", root, root}, 126, "vekos-run: " + root + ": is a directory, not a program\n"},
    };
    for (const auto& [args, status, said] : rows) {
        Outcome r = run(args);
        std::string label = args.empty() ? "(none)" : args.back();
        EXPECT_EQ(r.status, status) << label << ": " << r.err;
        if (said.back() == '\n')
            EXPECT_EQ(r.err, said) << label;
        else
            EXPECT_TRUE(contains(r.err, said)) << label << ": " << r.err;
        EXPECT_EQ(r.out, "") << label;
    }
}

TEST_F(VekosRunTest, OptionsTraceAndInjection)
{
    const std::string root = root_.string(), trace_file = (root_ / "trace.log").string();
    const struct {
        Args args;
        int status;
        std::string out, err;
    } rows[] = {
        // A repeatable option right before the program takes one value, not the program.
        {{"--root", root, "--inject", "write@1=-5", crasher(), "echo", "a", "b"}, 1, "b\n", ""},
        {{"--root", root, "--", crasher(), "echo", "--", "-x"}, 0, "-- -x\n", ""},
        {{"--root=" + root, "--inject=write=-5", "--timeout=5", "--max-insns=100000000", crasher(), "echo", "z"}, 1, "", ""},
        {{"--root", root, "--trace", crasher(), "echo", "hi"}, 0, "hi\n", "write(1, \"hi\\n\", 3) = 3\nexit(0) = ?\n"},
        {{"--root", root, "--trace=" + trace_file, crasher(), "echo", "a", "b"}, 0, "a b\n", ""},
        // One failed write; the option repeats; a call given by number.
        {{"--root", root, "--inject", "write@2=-5", "--trace", crasher(), "echo", "one", "two", "three"}, 1, "one three\n",
         "write(1, \"one \", 4) = 4\nwrite(1, \"two \", 4) = -5 (injected)\nwrite(1, \"three\\n\", 6) = 6\nexit(1) = ?\n"},
        {{"--root", root, "--inject", "write@1=-9", "--inject", "1@3=-9", crasher(), "echo", "x", "y", "z"}, 2, "y ", ""},
    };
    for (const auto& row : rows) {
        Outcome r = run(row.args);
        EXPECT_EQ(r.status, row.status) << row.args[2] << ": " << r.err;
        EXPECT_EQ(r.out, row.out) << row.args[2];
        EXPECT_EQ(r.err, row.err) << row.args[2];
    }
    EXPECT_EQ(slurp(trace_file), "write(1, \"a \", 2) = 2\nwrite(1, \"b\\n\", 2) = 2\nexit(0) = ?\n");
}

TEST_F(VekosRunTest, ProgramsExitWithTheirOwnStatusAndRootIsTheirSlash)
{
    const std::vector<std::tuple<Args, int, std::string, std::string>> rows = {
        {{"exit", "0"}, 0, "", ""},   {{"exit", "7"}, 7, "", ""},    {{"exit", "255"}, 255, "", ""},
        {{"exit", "300"}, 300 & 0xFF, "", ""}, {{"exit", "-1"}, 255, "", ""}, {{"bogus"}, 2, "", "crasher: unknown mode\n"},
        {{"echo", "hello", "world"}, 0, "hello world\n", ""},
        {{"echo", "--fast", "--help"}, 0, "--fast --help\n", ""},  // options after the program are its own
        {{"write", "/out.txt", "hello"}, 0, "", ""},
        {{"write", "../../escaped.txt", "x"}, 0, "", ""},
        {{"cat", "/out.txt"}, 0, "hello", ""},
        {{"cat", "/nothing"}, 1, "", "cat: cannot open\n"},
        {{"write", "/no/dir/f", "x"}, 1, "", ""},
    };
    for (const auto& [args, status, out, err] : rows) {
        Outcome r = crash({}, args);
        EXPECT_EQ(r.status, status) << args.back() << ": " << r.err;
        EXPECT_EQ(r.out, out) << args.back();
        EXPECT_EQ(r.err, err) << args.back();
    }
    EXPECT_EQ(slurp(root_ / "out.txt"), "hello");
    EXPECT_EQ(slurp(root_ / "escaped.txt"), "x");
    EXPECT_FALSE(fs::exists(dir_ / "escaped.txt"));
    EXPECT_FALSE(fs::exists(root_ / "no"));
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
