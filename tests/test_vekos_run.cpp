// vekos-run as its user meets it: the real program in a child process, its
// exit status, standard output and error, and the files it leaves.
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
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
    int status = -1; // exit status, or 1000 + signal
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
        root_ = dir_ / "root"; // the program's "/"; its output is captured beside it
        fs::create_directory(root_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Where vekos-run's standard output goes: a file (read back), or a pipe
    // that is never read, or one whose reader has gone.
    enum class Output { file, unread_pipe, closed_pipe };

    // Runs vekos-run with these arguments: no shell, stdin empty, killed if it outlives the limit.
    Outcome run(const Args& args, double limit_seconds = 10, Output output = Output::file)
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
        int pipe_ends[2] = {-1, -1};
        if (output == Output::file) {
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else {
            EXPECT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
            posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
            std::ofstream(out).flush(); // nothing is read back
        }
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        auto began = Clock::now();
        pid_t pid = 0;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (pipe_ends[1] >= 0)
            close(pipe_ends[1]);
        if (output == Output::closed_pipe)
            close(pipe_ends[0]);
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
        if (output == Output::unread_pipe)
            close(pipe_ends[0]);
        return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus), slurp(out), slurp(err),
            std::chrono::duration<double>(Clock::now() - began).count()};
    }
    // The crasher with a sandbox of its own.
    Outcome crash(Args options, const Args& args, double limit_seconds = 10, Output output = Output::file)
    {
        options.insert(options.end(), {"--root", root_.string(), crasher()});
        options.insert(options.end(), args.begin(), args.end());
        return run(options, limit_seconds, output);
    }
    fs::path dir_, root_;
};

TEST_F(VekosRunTest, FaultsEndWithTheirStatusAndAOneLineReport)
{
    const std::vector<std::tuple<Args, int, Args>> rows = {
        {{"null"}, 139,
            {"segmentation fault: write to unmapped memory at 0x00000000 (4 bytes); eip 0x", ": mov dword ptr ["}},
        {{"div"}, 136, {"divide error", "; eip 0x", "div"}},
        {{"ud2"}, 132, {"invalid instruction", "; eip 0x", ": ud2"}},
        {{"--max-insns", "100000", "spin"}, 152, {"stopped by --max-insns 100000 after "}},
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
    for (const auto& [options, args, status, least, most] :
        std::vector<std::tuple<Args, Args, int, double, double>>{{{"--timeout", "5"}, {"exit", "3"}, 3, 0, 3},
            {{"--fast"}, {"sleep", "1000"}, 0, 0, 3}, {{}, {"sleep", "1"}, 0, 0.95, 10}}) {
        Outcome r = crash(options, args);
        EXPECT_EQ(r.status, status) << args[1];
        EXPECT_GE(r.seconds, least) << args[1];
        EXPECT_LT(r.seconds, most) << args[1];
    }
}

// Usage errors exit with 2; programs that cannot run with 126, or 127 when missing, and an exact report.
TEST_F(VekosRunTest, UsageErrorsAndProgramsThatCannotRun)
{
    const std::string root = root_.string(), text = (root_ / "script.txt").string(),
                      missing = (root_ / "missing").string();
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
        {{"--trace=" + (dir_ / "no/such/dir/log").string(), crasher(), "exit", "0"}, 2, "no/such/dir does not exist"},
        // A report ending in a newline is the whole of standard error.
        {{"--bogus", crasher()}, 2, "vekos-run: unknown option --bogus (try --help)\n"},
        {{"--root", root, missing}, 127, "vekos-run: " + missing + ": no such file\n"},
        {{"--root", root, text}, 126, "vekos-run: " + text + ": not an ELF file\n"},
        {{"--root", root, "/bin/true"}, 126, "vekos-run: /bin/true: not a 32-bit ELF file (it is 64-bit)\n"},
        {{"--root", root, root}, 126, "vekos-run: " + root + ": is a directory, not a program\n"},
        // Values out of range or not numbers at all; calls that never answer.
        {{"--timeout", "1e10", crasher()}, 2,
            "vekos-run: --timeout: 1e10 is not a number of seconds above 0 and at most 10000000\n"},
        {{"--timeout", "nan", crasher()}, 2, "--timeout: nan is not a number of seconds"},
        {{"--max-insns", "18446744073709551616", crasher()}, 2,
            "vekos-run: --max-insns: 18446744073709551616 is not a whole number from 1 to 18446744073709551615\n"},
        {{"--max-file-size", "2G", crasher()}, 2, "--max-file-size: 2G is not a size in bytes from 0 to 2147483647"},
        {{"--inject", "exit=0", crasher(), "exit", "3"}, 2, "--inject exit=0: exit never returns to the program"},
        {{"--inject", "_exit@1=0", crasher(), "exit", "3"}, 2, "--inject _exit@1=0: exit never returns"},
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
        {{"--root=" + root, "--inject=write=-5", "--timeout=5", "--max-insns=100000000", crasher(), "echo", "z"}, 1, "",
            ""},
        {{"--root", root, "--trace", crasher(), "echo", "hi"}, 0, "hi\n", "write(1, \"hi\\n\", 3) = 3\nexit(0) = ?\n"},
        {{"--root", root, "--trace=" + trace_file, crasher(), "echo", "a", "b"}, 0, "a b\n", ""},
        // One failed write; the option repeats; a call given by number.
        {{"--root", root, "--inject", "write@2=-5", "--trace", crasher(), "echo", "one", "two", "three"}, 1,
            "one three\n",
            "write(1, \"one \", 4) = 4\nwrite(1, \"two \", 4) = -5 (injected)\nwrite(1, \"three\\n\", 6) = 6\nexit(1) "
            "= ?\n"},
        {{"--root", root, "--inject", "write@1=-9", "--inject", "1@3=-9", crasher(), "echo", "x", "y", "z"}, 2, "y ",
            ""},
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
        {{"exit", "0"}, 0, "", ""},
        {{"exit", "7"}, 7, "", ""},
        {{"exit", "255"}, 255, "", ""},
        {{"exit", "300"}, 300 & 0xFF, "", ""},
        {{"exit", "-1"}, 255, "", ""},
        {{"bogus"}, 2, "", "crasher: unknown mode\n"},
        {{"echo", "hello", "world"}, 0, "hello world\n", ""},
        {{"echo", "--fast", "--help"}, 0, "--fast --help\n", ""}, // options after the program are its own
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

// Programs that misbehave on purpose, and places they cannot be read from or
// written to: the right status, a message naming the cause, bounded time.
TEST_F(VekosRunTest, HostileProgramsEndWithTheRightStatusInBoundedTime)
{
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0600), 0);
    const struct {
        Args options, args;
        Output output;
        int status;
        std::string err; // contained in standard error
        double most;     // seconds
    } rows[] = {
        {{}, {"jump", "c0001000"}, Output::file, 139,
            "segmentation fault: execution outside the program at 0xc0001000, "
            "the stand-in's own page; eip 0xc0001000: int3\n",
            3},
        {{"--timeout", "1"}, {"flood"}, Output::unread_pipe, 124, "stopped after 1 s (--timeout)", 3},
        {{}, {"flood"}, Output::closed_pipe, 141, "its standard output or error was closed (broken pipe)", 3},
        {{}, {"cat", "/fifo"}, Output::file, 0, "", 3}, // a FIFO under the root never holds the program
        {{"--max-file-size", "100"}, {"write", "/big", std::string(200, 'x')}, Output::file, 1, "", 3},
        {{"--max-file-size", "4K"}, {"stream", "/s", "8"}, Output::file, 1, "", 3},
        {{"--fs-quota", "4K"}, {"stream", "/s", "8"}, Output::file, 1, "", 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.front() + " " + (row.options.empty() ? "" : row.options.front()));
        Outcome r = crash(row.options, row.args, 10, row.output);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_TRUE(contains(r.err, row.err)) << r.err;
        EXPECT_LT(r.seconds, row.most);
    }
    // What the quota refused left nothing behind; the answers were "too large" and "no space".
    EXPECT_FALSE(fs::exists(root_ / "big"));
    EXPECT_FALSE(fs::exists(root_ / "s"));
    EXPECT_EQ(crash({"--max-file-size", "4K"}, {"stream", "/s", "8"}).out, "-27\n");
    EXPECT_EQ(crash({"--fs-quota", "4K"}, {"stream", "/s", "8"}).out, "-28\n");
    EXPECT_EQ(crash({"--max-file-size", "8K", "--fs-quota", "8K"}, {"stream", "/s", "8"}).status, 0);
    EXPECT_EQ(fs::file_size(root_ / "s"), 8192u);
}

// What is not a program file is refused at once, without reading it whole.
TEST_F(VekosRunTest, OnlyRegularFilesOfAProgramsSizeAreLoaded)
{
    const fs::path fifo = dir_ / "fifo", big = dir_ / "big", plain = dir_ / "plain";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(plain) << "x";
    std::ofstream(big).flush();
    fs::resize_file(big, (64u << 20) + 1); // sparse: costs nothing
    const std::vector<std::pair<std::string, std::string>> rows = {
        {fifo.string(), "is not a regular file (it is a FIFO)"},
        {"/dev/zero", "is not a regular file (it is a character device)"},
        {big.string(), "is 67108865 bytes, more than a program may be (67108864)"},
        {(plain / "x").string(), "cannot be opened: Not a directory"},
    };
    for (const auto& [program, said] : rows) {
        Outcome r = run({program}, 5);
        EXPECT_EQ(r.status, 126) << program;
        EXPECT_EQ(r.err, "vekos-run: " + program + ": " + said + "\n");
        EXPECT_LT(r.seconds, 2) << program;
    }
    Args many(120000, "");
    many.insert(many.begin(), {crasher(), "exit", "0"});
    Outcome r = run(many);
    EXPECT_EQ(r.status, 2);
    // Strings with their nulls, argc, the pointers and their null, 15 bytes of alignment.
    const size_t needed = (crasher().size() + 1 + 5 + 2 + 120000) + 4 * (120003 + 2) + 15;
    EXPECT_EQ(r.err, "vekos-run: the arguments take " + std::to_string(needed)
            + " bytes of the program's stack; at most 524288 fit\n");
}

// --record, --screenshot and --trace=FILE: checked before the run, and no
// file is opened, truncated or removed until there is something to write.
TEST_F(VekosRunTest, OutputFilesAreTouchedOnlyWithSomethingToWrite)
{
    const fs::path old = dir_ / "old", target = dir_ / "target", link = dir_ / "link", fifo = dir_ / "fifo";
    std::ofstream(old) << "old";
    std::ofstream(target) << "target";
    fs::create_symlink(target, link);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto unchanged = [&] {
        EXPECT_EQ(slurp(old), "old");
        EXPECT_EQ(slurp(target), "target");
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_TRUE(fs::is_fifo(fifo));
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"fifo", "link", "old", "root", "stderr", "stdout", "target"}));
    };
    // No frame: nothing to record or shoot, whatever the path is.
    for (const char* option : {"--record", "--screenshot"})
        for (const fs::path& path : {old, link, fifo}) {
            SCOPED_TRACE(std::string(option) + " " + path.filename().string());
            Outcome r = crash({"--display", "none", option, path.string()}, {"exit", "0"});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err,
                "vekos-run: " + std::string(option) + " " + path.string()
                    + ": no frame was presented, no file written\n");
            unchanged();
        }
    // Unwritable places are refused before the program runs (it would write /ran).
    for (const char* option : {"--record", "--screenshot", "--trace"}) {
        const std::string missing = (dir_ / "no" / "file").string();
        Outcome r = crash({std::string(option) + "=" + missing}, {"write", "/ran", "x"});
        EXPECT_EQ(r.status, 2) << option;
        EXPECT_TRUE(contains(r.err, option + std::string(" ") + missing + ": the directory")) << r.err;
        EXPECT_EQ(crash({std::string(option) + "=" + dir_.string()}, {"write", "/ran", "x"}).status, 2) << option;
    }
    EXPECT_FALSE(fs::exists(root_ / "ran"));
    unchanged();
    // A trace through a link replaces the file it names; the link stays.
    EXPECT_EQ(crash({"--trace=" + link.string()}, {"exit", "4"}).status, 4);
    EXPECT_EQ(slurp(target), "exit(4) = ?\n");
    EXPECT_TRUE(fs::is_symlink(link));
    // A trace that cannot be written ends the run with a message.
    Outcome full = crash({"--trace=/dev/full"}, {"echo", "x"});
    EXPECT_EQ(full.status, 125);
    EXPECT_EQ(full.err, "vekos-run: --trace /dev/full: cannot write: No space left on device\n");
}

TEST_F(VekosRunTest, HelpNamesEveryOptionAndStatus)
{
    Outcome r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"--root", "--fast", "--trace", "--inject", "--max-insns", "--timeout", "--help",
             "--max-file-size", "--fs-quota", "PROGRAM", "2 ", "124", "125", "126", "127", "128+N", "132", "136", "139",
             "141", "152", "512 KiB", "16 loadable segments"})
        EXPECT_TRUE(contains(r.out, part)) << part;
    EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace vekos::test
