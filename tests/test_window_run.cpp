// vekos-run's window options from the command line: recordings, screenshots,
// scripted keys, failing window calls, real-time pacing, and the terminal
// view on a pseudo-terminal (given back on every way out).
#include "harness.h"
#include "window/display_terminal.h"
#include "window_files.h"
#include "window_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vekos::test {
namespace {

const std::string kRun = (build_dir() / "bin/vekos-run").string();
const std::string kPaneprobe = (build_dir() / "bin/paneprobe").string();
const std::string kWindowGuest = (build_dir() / "tests/window_guest").string();

// vekos-run with no X or Wayland display to find.
RunResult vekos_run(std::vector<std::string> args, double seconds = 60)
{
    ChildOptions options;
    options.argv = {kRun};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.unset_env = {"DISPLAY", "WAYLAND_DISPLAY"};
    return run_child(std::move(options), seconds);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(VekosRunWindow, RecordsEveryFrameAndScreenshotsTheLastNoFrameNoFiles)
{
    TempDir dir;
    RunResult r = vekos_run({"--fast", "--display", "none", "--keys", "5:q", "--record", dir / "p.gif", "--screenshot",
        dir / "p.png", kPaneprobe});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(read_file(dir / "p.gif").substr(0, 6), "GIF89a");
    const DecodedGif gif = decode_gif(dir / "p.gif");
    ASSERT_TRUE(gif.gif);
    EXPECT_EQ((std::pair{gif.gif->SWidth, gif.gif->SHeight}), (std::pair{640, 480}));
    ASSERT_EQ(gif.gif->ImageCount, 5);
    // Composed, the frames are paneprobe's frames 1 to 5, 2 hundredths each.
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(gif.frames[size_t(i)] == paneprobe_frame(82 + 2 * i)) << "frame " << i + 1;
        GraphicsControlBlock control;
        ASSERT_EQ(DGifSavedExtensionToGCB(gif.gif.get(), i, &control), GIF_OK);
        EXPECT_EQ(control.DelayTime, 2);
    }
    const auto png = read_png(dir / "p.png");
    ASSERT_TRUE(png);
    EXPECT_TRUE(*png == paneprobe_frame(90)); // the last frame, 5
    // With no frame presented: no files, and a message for each.
    RunResult none
        = vekos_run({"--display", "none", "--record", dir / "h.gif", "--screenshot", dir / "h.png", kPaneprobe, "-h"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "Usage: paneprobe\n");
    for (auto [option, file] : {std::pair{"--record ", "h.gif"}, {"--screenshot ", "h.png"}}) {
        EXPECT_FALSE(std::filesystem::exists(dir / file));
        EXPECT_NE(none.err.find(option + dir / file + ": no frame was presented"), std::string::npos) << none.err;
    }
}

TEST(VekosRunWindow, GuiFailBothShowsTheFailureLineCreateShowsTheAttachFallbackInTheTrace)
{
    RunResult both = vekos_run({"--display", "none", "--gui-fail", "both", kPaneprobe});
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.out, "paneprobe: failed to initialize GUI\n");
    TempDir dir;
    RunResult r = vekos_run(
        {"--fast", "--display", "none", "--frames", "2", "--gui-fail", "create", "--trace=" + dir / "t", kPaneprobe});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream trace(read_file(dir / "t"));
    // Each of the first three lines: how it starts and how it ends.
    for (auto [start, end] :
        {std::pair{"gui_create(\"Legacy Window Test\", \"q/esc quits\")", " = -19 (No such device)"},
            {"gui_attach(\"Legacy Window Test\", \"q/esc quits\")", " = 1"}, {"gui_poll_event(1, 0x", ", 20) = 0"}}) {
        std::string line;
        std::getline(trace, line);
        EXPECT_TRUE(line.starts_with(start) && line.ends_with(end)) << line;
    }
}

TEST(VekosRunWindow, OptionsGivenWrongAreRefusedWithAMessage)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Row rows[]
        = {{{"--keys", "5:Nope"}, 2, "--keys: key 'Nope'"}, {{"--keys", "q"}, 2, "--keys: 'q': expected FRAME:KEY"},
            {{"--keys", "0:q"}, 2, "FRAME must be a whole number from 1"}, {{"--display", "screen"}, 2, "--display"},
            {{"--gui-fail", "all"}, 2, "--gui-fail"}, {{"--frames", "0"}, 2, "--frames"},
            {{"--display", "window"}, 2, "--display window: no display"},
            {{"--record", "/nonexistent-dir/r.gif"}, 2,
                "--record /nonexistent-dir/r.gif: the directory /nonexistent-dir does not exist"}};
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.push_back(kPaneprobe);
        RunResult r = vekos_run(args);
        EXPECT_EQ(r.status, row.status) << row.message;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    ChildOptions options;
    options.argv = {kRun, "--display", "terminal", kPaneprobe};
    options.new_session = true; // no controlling terminal
    RunResult r = run_child(std::move(options));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--display terminal: no terminal"), std::string::npos) << r.err;
}

TEST(VekosRunWindow, FramesBoundsAHeadlessRunInRealTime)
{
    TempDir dir;
    RunResult r = vekos_run({"--display", "none", "--frames", "40", "--trace=" + dir / "t", kPaneprobe});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string trace = read_file(dir / "t");
    size_t presents = 0;
    for (size_t at = trace.find("gui_present("); at != std::string::npos; at = trace.find("gui_present(", at + 1))
        ++presents;
    EXPECT_EQ(presents, 40u);
    // Without --fast it follows the command's sleeps: 40 frames of 16 ms; start-up is small against that.
    EXPECT_GE(r.seconds, 0.64);
    EXPECT_LT(r.seconds, 10.0);
}

std::chrono::steady_clock::time_point deadline(double seconds)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
}

// The terminal view, on a pseudo-terminal.
class PtyRun {
public:
    // `closed_output`: standard output is a pipe whose reader has gone (as
    // with `vekos-run ... | head -c 100` once head is done).
    explicit PtyRun(std::vector<std::string> args, bool closed_output = false)
    {
        winsize size{30, 100, 0, 0}; // rows, columns
        args.insert(args.begin(), {kRun, "--display", "terminal"});
        int output[2] = {-1, -1};
        if (closed_output && pipe(output) != 0)
            throw std::runtime_error("pipe");
        if ((pid_ = forkpty(&master_, nullptr, nullptr, &size)) < 0)
            throw std::runtime_error("forkpty");
        if (closed_output)
            close(pid_ == 0 ? output[0] : output[1]);
        if (pid_ != 0 && closed_output)
            close(output[0]);
        if (pid_ == 0) {
            if (closed_output)
                dup2(output[1], 1), close(output[1]);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            unsetenv("DISPLAY");
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~PtyRun()
    {
        if (!ended_)
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        close(master_);
    }
    // Reads until `text` has been seen or the time is up.
    bool read_until(const std::string& text, double seconds)
    {
        for (const auto end = deadline(seconds); output_.find(text) == std::string::npos; read_some(20))
            if (std::chrono::steady_clock::now() >= end)
                return false;
        return true;
    }
    void type(std::string_view bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void signal(int s) { kill(pid_, s); }
    // Waits for the end; the exit status, or 128 + the signal.
    int wait(double seconds)
    {
        int st = 0;
        for (const auto end = deadline(seconds); waitpid(pid_, &st, WNOHANG) != pid_; read_some(10))
            if (std::chrono::steady_clock::now() >= end)
                return -1;
        ended_ = true;
        for (int i = 0; i < 20 && read_some(10); ++i)
            continue;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    termios mode() const
    {
        termios t{};
        return tcgetattr(master_, &t), t;
    }
    const std::string& output() const { return output_; }

private:
    bool read_some(int timeout_ms)
    {
        pollfd p{master_, POLLIN, 0};
        char buf[65536];
        ssize_t n = 0;
        if (poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN) && (n = read(master_, buf, sizeof buf)) > 0)
            output_.append(buf, size_t(n));
        return n > 0;
    }
    int master_ = -1;
    pid_t pid_ = -1;
    bool ended_ = false;
    std::string output_;
};

const std::string kRectangleCell = "\x1b[38;2;255;180;130m";

void expect_given_back(const PtyRun& run)
{
    const std::string& out = run.output();
    const size_t leave = out.rfind(std::string(kTerminalLeave));
    ASSERT_NE(leave, std::string::npos) << "the terminal was not given back";
    EXPECT_EQ(out.find("\xe2\x96\x80", leave), std::string::npos) << "drawing after leaving";
    const termios t = run.mode();
    EXPECT_TRUE(t.c_lflag & ICANON);
    EXPECT_TRUE(t.c_lflag & ECHO);
    EXPECT_TRUE(t.c_iflag & ICRNL);
}

TEST(TerminalDisplay, ShowsTheFramesOtherKeysDoNotQuitQAndEscapeDo)
{
    for (std::string quit : {"q", "\x1b"}) {
        PtyRun run({kPaneprobe});
        ASSERT_TRUE(run.read_until(kRectangleCell, 20)) << run.output().substr(0, 400);
        EXPECT_NE(run.output().find("\x1b[?1049h"), std::string::npos); // its own screen
        // The status line, on the last row: the title and the hint.
        EXPECT_TRUE(run.read_until("\x1b[30;1H\x1b[0m\x1b[2KLegacy Window Test \xe2\x80\x94 q/esc quits", 5));
        EXPECT_FALSE(run.mode().c_lflag & ICANON); // raw while it runs
        EXPECT_FALSE(run.mode().c_lflag & ECHO);
        run.type("a;\x1b[A");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(run.wait(0.2), -1) << "quit on a key that is not q, Q or Escape";
        run.type(quit);
        EXPECT_EQ(run.wait(10), 0);
        expect_given_back(run);
    }
}

TEST(TerminalDisplay, GivenBackWhenKilledWhenTheGuestFaultsOrTimesOut)
{
    for (int s : {SIGTERM, SIGINT}) {
        PtyRun run({kPaneprobe});
        ASSERT_TRUE(run.read_until(kRectangleCell, 20));
        run.signal(s);
        EXPECT_EQ(run.wait(10), 128 + s);
        expect_given_back(run);
    }
    PtyRun faulted({kWindowGuest});
    EXPECT_EQ(faulted.wait(20), 139);
    EXPECT_NE(faulted.output().find("\x1b[38;2;0;255;0m"), std::string::npos) << "its frame was not shown";
    EXPECT_NE(faulted.output().find("segmentation fault"), std::string::npos);
    expect_given_back(faulted);
    PtyRun timed_out({"--timeout", "0.5", kPaneprobe});
    EXPECT_EQ(timed_out.wait(20), 124);
    expect_given_back(timed_out);
    // Waiting for a key that never comes is cut short as well.
    PtyRun waiting({"--timeout", "1", kWindowGuest, "wait"});
    EXPECT_EQ(waiting.wait(4), 124);
    expect_given_back(waiting);
    // Its standard output went away (`| head`): a status and a message, the terminal back.
    PtyRun piped({kWindowGuest, "chatty"}, true);
    EXPECT_EQ(piped.wait(10), 141);
    EXPECT_NE(piped.output().find("its standard output or error was closed"), std::string::npos);
    expect_given_back(piped);
}

TEST(TerminalDisplay, GuestTextOnTheStatusLineIsShownEscaped)
{
    PtyRun run({"--timeout", "1", kWindowGuest, "wait"});
    ASSERT_TRUE(run.read_until("\\x1b]2;pwned\\x07title \xe2\x80\x94 hint\\x1b[2J", 10)) << run.output().substr(0, 600);
    EXPECT_EQ(run.output().find("\x1b]2;"), std::string::npos) << "a title sequence reached the terminal";
    run.wait(10);
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain \xe2\x80\x94 text", "plain \xe2\x80\x94 text"}, // UTF-8 stays
        {"a\tb\x7f", "a\\x09b\\x7f"},                           // C0 and DEL
        {"\xc2\x9b"
         "31m",
            "\\xc2\\x9b31m"},                // C1 CSI, as UTF-8
        {"\xff\xc0\x80", "\\xff\\xc0\\x80"}, // not UTF-8, overlong
        {"\xe2\x82", "\\xe2\\x82"},          // cut short
    };
    for (const auto& [text, shown] : rows)
        EXPECT_EQ(terminal_safe(text, 80), shown) << shown;
    EXPECT_EQ(terminal_safe("abcdef", 4), "abcd");
    EXPECT_EQ(terminal_safe("ab\x1b", 5), "ab"); // an escape is not cut in half
}

} // namespace
} // namespace vekos::test
