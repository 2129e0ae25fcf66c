// vekos-run as its user meets it: the real program in a child process, its
// exit status, standard output and error, and the files it leaves.  Over
// 350 lines: one fixture runs the command for every family of its options;
// split, each part would carry the fixture and the report helpers again.
#include "harness.h"
#include "processes.h"
#include "window_harness.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace vekos::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Output = ProcessOptions::Output;

const std::string kRun = (build_dir() / "bin/vekos-run").string();
const std::string kCrasher = (build_dir() / "tests/vekos_crasher").string();
const std::string kPaneprobe = (build_dir() / "bin/paneprobe").string();
const std::string kWindowGuest = (build_dir() / "tests/window_guest").string();

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
class VekosRunTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(root_); }

    // vekos-run with these arguments: stdin empty, no display to find, killed
    // if it outlives the limit.
    RunResult run(Args args, double limit_seconds = 10, Output output = Output::collected)
    {
        args.insert(args.begin(), kRun);
        return vekos::test::run(ProcessOptions{args, {}, {"DISPLAY", "WAYLAND_DISPLAY"}, output}, limit_seconds);
    }
    // The crasher with a sandbox of its own.
    RunResult crash(Args options, const Args& args, Output output = Output::collected)
    {
        options.insert(options.end(), {"--root", root_.string(), kCrasher});
        options.insert(options.end(), args.begin(), args.end());
        return run(options, 10, output);
    }
    TempDir dir_;
    fs::path root_ = dir_.path() / "root"; // the program's "/"
};

// Addresses and register values vary with the build: shown as ADDR and VALUE.
std::vector<std::string> report_lines(const std::string& err)
{
    std::vector<std::string> lines;
    std::istringstream in(std::regex_replace(std::regex_replace(err, std::regex("0x[0-9a-f]{8}"), "ADDR"),
        std::regex("(eax|ebx|ecx|edx|esi|edi|ebp|esp|eflags) [0-9a-f]{8}"), "$1 VALUE"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

const std::vector<std::string> kRegisterLines = {"  eax VALUE  ebx VALUE  ecx VALUE  edx VALUE",
    "  esi VALUE  edi VALUE  ebp VALUE  esp VALUE  eflags VALUE", "  backtrace (frame pointers):"};

// A crash report: its first line, the register lines, then its frames; a line expected to end in '+'
// (an offset or an instruction follows, which vary with the build) only begins so.
void expect_report(const std::string& err, const std::string& first, const std::vector<std::string>& frames)
{
    const std::vector<std::string> lines = report_lines(err);
    EXPECT_EQ(lines.size(), 4 + frames.size()) << err;
    for (size_t i = 0; i < std::min(lines.size(), 4 + frames.size()); ++i) {
        const std::string& want = i == 0 ? first : i < 4 ? kRegisterLines[i - 1] : frames[i - 4];
        EXPECT_TRUE(want.ends_with('+') ? lines[i].starts_with(want) : lines[i] == want) << lines[i];
    }
}

// tests/sdk/misbehaves.c built with vekos-cc as its user builds it: frame pointers kept.
std::string misbehaves()
{
    static const TempDir dir;
    static const std::string program = dir / "misbehaves";
    static const RunResult built = vekos::test::run(
        ProcessOptions{
            {(build_dir() / "sdk/bin/vekos-cc").string(), VEKOS_SOURCE_DIR "/tests/sdk/misbehaves.c", "-o", program},
            {}, {}},
        60);
    EXPECT_EQ(built.status, 0) << built.err;
    return program;
}

// The fault, the registers, every caller by name, the frames of one recursing function folded; a run
// stopped by --max-insns says so in one line.
TEST_F(VekosRunTest, FaultsEndWithTheirStatusAndACrashReportNamingEveryCaller)
{
    const std::string program = misbehaves();
    const std::vector<std::tuple<Args, int, std::string, std::vector<std::string>>> rows
        = {{{kCrasher, "div"}, 136, "divide error: division by zero or quotient too large; eip ADDR <main+",
               {"    #0 ADDR <main+", "    #1 ADDR <_start+"}},
            {{kCrasher, "jump", "c0001000"}, 139,
                "segmentation fault: execution outside the program at ADDR, the stand-in's own page; eip ADDR: int3",
                {"    #0 ADDR", "    #1 ADDR <_start+"}},
            {{program, "crash"}, 139,
                "segmentation fault: write to unmapped memory at ADDR (4 bytes); eip ADDR <poke>: "
                "mov dword ptr [eax], 7",
                {"    #0 ADDR <poke>", "    #1 ADDR <middle+", "    #2 ADDR <main+", "    #3 ADDR <_start+"}},
            {{program, "overflow"}, 139,
                "stack overflow: write to unmapped memory at ADDR (1 byte), below the 1 MiB stack; eip ADDR <down+",
                {"    #0 ADDR <down+", "    #1 ADDR <down+", "    #2 to #16: the same",
                    "    ... deeper frames not shown"}}};
    for (const auto& [args, status, first, frames] : rows) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run(args);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, "");
        expect_report(r.err, "vekos-run: " + args[0] + ": " + first, frames);
    }
    RunResult r = crash({"--max-insns", "100000"}, {"spin"});
    EXPECT_EQ(r.status, 152);
    EXPECT_TRUE(r.err.starts_with("vekos-run: " + kCrasher + ": stopped by --max-insns 100000 after ")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// A console control record is never raw bytes: on a terminal the colour of what follows, reset at the end.
TEST_F(VekosRunTest, ConsoleColourRecordsAreTracedAndColourATerminal)
{
    RunResult coloured = run({"--trace", misbehaves(), "colour"});
    EXPECT_EQ(coloured.status, 0);
    EXPECT_EQ(coloured.out, "green\n");
    EXPECT_TRUE(coloured.err.starts_with("write(1, {console color=0x00c800}, 4) = 4\n")) << coloured.err;
    Process terminal(ProcessOptions{{kRun, misbehaves(), "colour"}, {}, {}, Output::collected, true});
    ASSERT_TRUE(terminal.wait(10));
    EXPECT_EQ(terminal.status, 0);
    EXPECT_EQ(terminal.out, "\x1b[38;2;0;200;0mgreen\r\n\x1b[0m");
}

// Usage errors exit with 2; programs that cannot run with 126, or 127 when
// missing, at once: what is not a program file is not read whole. A report
// ending in a newline is the whole of standard error. A static i386 Linux
// program is an ELF file like a vekos one: its ABI note gives it away.
TEST_F(VekosRunTest, UsageErrorsAndProgramsThatCannotRunEndWithAReport)
{
    const std::string root = root_.string(), text = (root_ / "script.txt").string(),
                      missing = (root_ / "missing").string(), c = kCrasher, p = kPaneprobe, fifo = dir_ / "fifo",
                      big = dir_ / "big", plain = dir_ / "plain", for_linux = dir_ / "linux";
    std::ofstream(text) << "echo hi\n";
    std::ofstream(for_linux + ".c") << "int main(void) { return 3; }\n";
    const RunResult built = vekos::test::run(
        ProcessOptions{{VEKOS_HOST_CC, "-m32", "-static", for_linux + ".c", "-o", for_linux}, {}, {}}, 60);
    ASSERT_EQ(built.status, 0) << built.err;
    std::ofstream(plain) << "x";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big).flush();
    fs::resize_file(big, (64u << 20) + 1); // sparse: costs nothing
    const std::vector<std::tuple<Args, int, std::string>> rows = {{{}, 2, "no PROGRAM given"},
        {{"--fast", "--roots=/", c}, 2, "unknown option --roots=/"},
        {{"--bogus", c}, 2, "vekos-run: unknown option --bogus (try --help)\n"},
        {{"--inject", "exit=0", c, "exit", "3"}, 2, "--inject exit=0: exit never returns to the program"},
        {{"--max-insns", "18446744073709551616", c}, 2,
            "vekos-run: --max-insns: 18446744073709551616 is not a whole number from 1 to 18446744073709551615\n"},
        {{"--timeout", "nan", c}, 2, "--timeout: nan is not a number of seconds"},
        {{"--timeout", "1e10", c}, 2,
            "vekos-run: --timeout: 1e10 is not a number of seconds above 0 and at most 10000000\n"},
        {{"--max-file-size", "2G", c}, 2, "--max-file-size: 2G is not a size in bytes from 0 to 2147483647"},
        {{"--root", (dir_.path() / "absent").string(), c}, 2, "--root"},
        {{"--keys", "5:Nope", p}, 2, "--keys: key 'Nope'"}, {{"--keys", "q", p}, 2, "--keys: 'q': expected FRAME:KEY"},
        {{"--keys", "0:q", p}, 2, "FRAME must be a whole number from 1"}, {{"--display", "screen", p}, 2, "--display"},
        {{"--display", "window", p}, 2, "--display window: no display"},
        {{"--display", "terminal", p}, 2, "--display terminal: no terminal"},
        {{"--gui-fail", "all", p}, 2, "--gui-fail"}, {{"--frames", "0", p}, 2, "--frames"},
        {{"--root", root, missing}, 127, "vekos-run: " + missing + ": no such file\n"},
        {{"--root", root, text}, 126, "vekos-run: " + text + ": not an ELF file\n"},
        {{"--root", root, root}, 126, "vekos-run: " + root + ": is a directory, not a program\n"},
        {{"--trace", "out.log", c}, 127,
            "vekos-run: out.log: no such file; --trace takes no value: to write the trace to a file use --trace-file "
            "FILE or --trace=FILE\n"},
        {{"--trace-calls", "open,nosuch", c}, 2, "--trace-calls: 'nosuch' is not a call name or number"},
        {{fifo}, 126, "vekos-run: " + fifo + ": is not a regular file (it is a FIFO)\n"},
        {{big}, 126, "vekos-run: " + big + ": is 67108865 bytes, more than a program may be (67108864)\n"},
        {{plain + "/x"}, 126, "vekos-run: " + plain + "/x: cannot be opened: Not a directory\n"},
        {{for_linux}, 126,
            "vekos-run: " + for_linux
                + ": a Linux program, not a vekos one: it would make Linux system calls (build vekos programs with "
                  "vekos-cc; its GNU ABI note names Linux)\n"}};
    for (const auto& [args, status, said] : rows) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run(args);
        EXPECT_EQ(r.status, status) << r.err;
        if (said.back() == '\n')
            EXPECT_EQ(r.err, said);
        else
            EXPECT_TRUE(contains(r.err, said)) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_LT(r.seconds, 2);
    }
    Args many(120000, "");
    many.insert(many.begin(), {kCrasher, "exit", "0"});
    RunResult r = run(many);
    EXPECT_EQ(r.status, 2);
    // Strings with their nulls, argc, the pointers and their null, 15 bytes of alignment.
    const size_t needed = (kCrasher.size() + 1 + 5 + 2 + 120000) + 4 * (120003 + 2) + 15;
    EXPECT_EQ(r.err,
        "vekos-run: the arguments take " + std::to_string(needed)
            + " bytes of the program's stack; at most 524288 fit\n");
}

// What the program says and its exit status are its own, its root is its "/"; the options shape what it sees.
TEST_F(VekosRunTest, RunsEndWithTheProgramsStatusAndOutputAsTheOptionsShapeThem)
{
    const std::string root = root_.string(), trace_file = (root_ / "trace.log").string(), c = kCrasher;
    auto in_root = [&](Args args) { return args.insert(args.begin(), {"--root", root, c}), args; };
    const struct {
        Args args;
        int status;
        std::string out, err;
    } rows[] = {{in_root({"exit", "7"}), 7, "", ""}, {in_root({"exit", "300"}), 300 & 0xFF, "", ""},
        {in_root({"echo", "--fast", "--help"}), 0, "--fast --help\n", ""}, // options after the program are its own
        {in_root({"write", "/out.txt", "hello"}), 0, "", ""},
        // A repeatable option right before the program takes one value, not the program.
        {{"--root", root, "--inject", "write@1=-5", c, "echo", "a", "b"}, 1, "b\n", ""},
        {{"--root", root, "--", c, "echo", "--", "-x"}, 0, "-- -x\n", ""},
        {{"--root=" + root, "--inject=write=-5", "--timeout=5", "--max-insns=100000000", c, "echo", "z"}, 1, "", ""},
        // One failed write; the option repeats; a call given by number.
        {{"--root", root, "--inject", "write@2=-5", "--trace", c, "echo", "one", "two", "three"}, 1, "one three\n",
            "write(1, \"one \", 4) = 4\nwrite(1, \"two \", 4) = -5 EIO (injected)\nwrite(1, \"three\\n\", 6) = 6\n"
            "exit(1) = ?\n"},
        {{"--root", root, "--inject", "write@1=-9", "--inject", "1@3=-9", c, "echo", "x", "y", "z"}, 2, "y ", ""},
        {{"--display", "none", "--gui-fail", "both", kPaneprobe}, 1, "paneprobe: failed to initialize GUI\n", ""},
        // A window that cannot be created is attached to instead; the trace shows both answers.
        {{"--fast", "--display", "none", "--keys", "1:q", "--gui-fail", "create", "--trace-calls",
             "gui_create,gui_attach", kPaneprobe},
            0, "",
            "gui_create(\"Legacy Window Test\", \"q/esc quits\") = -19 ENODEV (No such device)\n"
            "gui_attach(\"Legacy Window Test\", \"q/esc quits\") = 1\n"},
        {{"--root", root, "--inject", "open=ENOENT", "--trace-calls", "open,2", c, "cat", "/trace.log"}, 1, "",
            "open(\"/trace.log\", O_RDONLY, 0) = -2 ENOENT (injected)\ncat: cannot open\nexit(1) = ?\n"},
        {{"--root", root, "--trace-file", trace_file, "--trace-calls", "exit", c, "echo", "a", "b"}, 0, "a b\n", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        RunResult r = run(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
    }
    EXPECT_EQ(slurp(trace_file), "exit(0) = ?\n"); // the last run's
    EXPECT_EQ(slurp(root_ / "out.txt"), "hello");
    // The summary counts every call, traced or not, below what the run said; times and the count of
    // instructions vary from run to run.
    RunResult summed = crash({"--summary", "--trace-calls", "exit"}, {"cat", "/nothing"});
    EXPECT_EQ(std::regex_replace(std::regex_replace(summed.err, std::regex("[0-9]+\\.[0-9]+"), "T"),
                  std::regex("[0-9]+ instructions"), "N instructions"),
        "cat: cannot open\nexit(1) = ?\nvekos-run: summary of " + c
            + "\n     calls  errors     seconds  call\n"
              "         1       0    T  write\n"
              "         1       0    T  exit\n"
              "         1       1    T  open\n"
              "         3       1    T  total\n"
              "  N instructions; T s wall, T s CPU\n");
}

// Programs that spin, sleep or misbehave on purpose, and places they cannot be read from or written to:
// the right status, a message naming the cause, in the right time (--timeout, and --fast that skips sleeping).
TEST_F(VekosRunTest, HostileProgramsEndWithTheRightStatusInTheRightTime)
{
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0600), 0);
    const Output collected = Output::collected;
    const struct {
        Args options, args;
        Output output;
        int status;
        std::string err, out;
        double least = 0, most = 3;
    } rows[] = {{{"--timeout", "0.5"}, {"spin"}, collected, 124, "stopped after 0.5 s (--timeout)", "", 0.45},
        {{"--timeout", "0.5"}, {"sleep", "100"}, collected, 124, "stopped after 0.5 s (--timeout)", "", 0.45},
        {{"--fast"}, {"sleep", "1000"}, collected, 0, "", ""},
        {{}, {"sleep", "1"}, collected, 0, "", "", 0.95, 10}, // without --fast sleeping takes the time
        {{"--timeout", "1"}, {"flood"}, Output::unread_pipe, 124, "stopped after 1 s (--timeout)", ""},
        {{}, {"flood"}, Output::closed_pipe, 141, "its standard output or error was closed (broken pipe); run ended",
            ""},
        {{}, {"cat", "/fifo"}, collected, 0, "", ""}, // a FIFO under the root never holds the program
        {{"--max-file-size", "100"}, {"write", "/big", std::string(200, 'x')}, collected, 1, "", ""},
        // Refused by the quota with "too large" and "no space".
        {{"--max-file-size", "4K"}, {"stream", "/s", "8"}, collected, 1, "", "-27\n"},
        {{"--fs-quota", "4K"}, {"stream", "/s", "8"}, collected, 1, "", "-28\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.options) + " " + row.args.front());
        RunResult r = crash(row.options, row.args, row.output);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.err, row.err.empty() ? "" : "vekos-run: " + kCrasher + ": " + row.err + "\n");
        EXPECT_EQ(r.out, row.out);
        EXPECT_GE(r.seconds, row.least);
        EXPECT_LT(r.seconds, row.most);
    }
    // What the quota refused left nothing behind.
    EXPECT_FALSE(fs::exists(root_ / "big"));
    EXPECT_FALSE(fs::exists(root_ / "s"));
    EXPECT_EQ(crash({"--max-file-size", "8K", "--fs-quota", "8K"}, {"stream", "/s", "8"}).status, 0);
    EXPECT_EQ(fs::file_size(root_ / "s"), 8192u);
}

// Without --fast the command's sleeps are kept: 40 frames of 16 ms, each recorded, the last one shot.
TEST_F(VekosRunTest, HeadlessRunsKeepRealTimeRecordEveryFrameAndShootTheLast)
{
    const std::string gif = dir_ / "p.gif", png = dir_ / "p.png";
    RunResult r = run({"--display", "none", "--frames", "40", "--record", gif, "--screenshot", png, kPaneprobe});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_GE(r.seconds, 0.64);
    EXPECT_LT(r.seconds, 10.0);
    const DecodedGif decoded = decode_gif(gif);
    ASSERT_TRUE(decoded.gif);
    ASSERT_EQ(decoded.frames.size(), 40u);
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(decoded.frames[size_t(i)] == paneprobe_frame(82 + 2 * i)) << "frame " << i + 1;
    const auto shot = read_png(png);
    ASSERT_TRUE(shot);
    EXPECT_TRUE(*shot == paneprobe_frame(160));
}

// With nowhere to type, a program waiting for a key would wait for ever: said once.
TEST_F(VekosRunTest, WaitingForKeysThatCannotComeIsSaidOnce)
{
    for (const Args& args :
        {Args{"--timeout", "0.5", kWindowGuest, "wait"}, Args{"--fast", "--timeout", "0.5", kPaneprobe}}) {
        SCOPED_TRACE(args.back());
        RunResult r = run(args);
        EXPECT_EQ(r.status, 124);
        const std::string who = "vekos-run: " + args[args.size() - (args.back() == "wait" ? 2 : 1)];
        EXPECT_EQ(r.err,
            who
                + " is waiting for window events, but with no display no key can come; it may run for ever: use "
                  "--display terminal or window to type keys, --frames N to end after N frames, or --keys FRAME:KEY "
                  "to script them\n"
                + who + ": stopped after 0.5 s (--timeout)\n");
    }
}

// --record, --screenshot and --trace=FILE: checked before the run, and no
// file is opened, truncated or removed until there is something to write.
TEST_F(VekosRunTest, OutputFilesAreTouchedOnlyWithSomethingToWrite)
{
    const fs::path& dir = dir_.path();
    const fs::path old = dir / "old", target = dir / "target", link = dir / "link", fifo = dir / "fifo";
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
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"fifo", "link", "old", "root", "target"}));
    };
    // No frame: nothing to record or shoot, whatever the path is.
    for (const char* option : {"--record", "--screenshot"})
        for (const fs::path& path : {old, link, fifo}) {
            SCOPED_TRACE(std::string(option) + " " + path.filename().string());
            RunResult r = crash({"--display", "none", option, path.string()}, {"exit", "0"});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err,
                "vekos-run: " + std::string(option) + " " + path.string()
                    + ": no frame was presented, no file written\n");
            unchanged();
        }
    // Unwritable places are refused before the program runs (it would write /ran).
    for (const std::string option : {"--record", "--screenshot", "--trace"}) {
        SCOPED_TRACE(option);
        const std::string missing = dir_ / "no/file";
        RunResult r = crash({option + "=" + missing}, {"write", "/ran", "x"});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, option + " " + missing + ": the directory")) << r.err;
        EXPECT_EQ(crash({option + "=" + dir.string()}, {"write", "/ran", "x"}).status, 2);
    }
    EXPECT_FALSE(fs::exists(root_ / "ran"));
    unchanged();
    // A trace through a link replaces the file it names; the link stays.
    EXPECT_EQ(crash({"--trace=" + link.string()}, {"exit", "4"}).status, 4);
    EXPECT_EQ(slurp(target), "exit(4) = ?\n");
    EXPECT_TRUE(fs::is_symlink(link));
    // A trace that cannot be written ends the run with a message.
    RunResult full = crash({"--trace=/dev/full"}, {"echo", "x"});
    EXPECT_EQ(full.status, 125);
    EXPECT_EQ(full.err, "vekos-run: --trace /dev/full: cannot write: No space left on device\n");
}

TEST_F(VekosRunTest, HelpNamesEveryOptionAndStatusAndVersionTheRelease)
{
    RunResult version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("vekos-run [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
    RunResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("Usage: vekos-run [OPTIONS] PROGRAM [ARGS...]\n\n")) << r.out.substr(0, 80);
    for (const char* noise : {"TEXT", "FLOAT", "UINT", "INT:", ":DIR", "POSITIVE", "Usage: vekos-run [OPTIONS]\n"})
        EXPECT_FALSE(contains(r.out, noise)) << noise;
    for (const char* part : {"--root", "--fast", "--trace", "--trace-file", "--trace-calls", "--summary", "--inject",
             "--max-insns", "--timeout", "--help", "--max-file-size", "--fs-quota", "PROGRAM", "2 ", "124", "125",
             "126", "127", "128+N", "132", "136", "139", "141", "152", "512 KiB", "16 loadable segments"})
        EXPECT_TRUE(contains(r.out, part)) << part;
    EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace vekos::test
