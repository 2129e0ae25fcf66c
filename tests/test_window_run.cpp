// vekos-run's window options from the command line: recordings, screenshots,
// scripted keys, failing window calls, real-time pacing, and the terminal
// view on a pseudo-terminal (given back on every way out).
#include "display_terminal.h"
#include "font.h"
#include "framebuffer.h"
#include "harness.h"
#include "window_files.h"
#include "window_process.h"

#include <gif_lib.h>
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

namespace fs = std::filesystem;

const std::string kRun = (build_dir() / "bin/vekos-run").string();
const std::string kPaneprobe = (build_dir() / "bin/paneprobe").string();
const std::string kWindowFault = (build_dir() / "tests/window_fault").string();

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

// ---- Recording ------------------------------------------------------------------------

TEST(VekosRunWindow, RecordsEveryFrameAndScreenshotsTheLast)
{
    TempDir dir;
    RunResult r = vekos_run({"--fast", "--display", "none", "--keys", "5:q", "--record", dir / "p.gif",
                             "--screenshot", dir / "p.png", kPaneprobe});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(read_file(dir / "p.gif").substr(0, 6), "GIF89a");
    const DecodedGif gif = decode_gif(dir / "p.gif");
    ASSERT_TRUE(gif.gif);
    EXPECT_EQ(gif.gif->SWidth, 640);
    EXPECT_EQ(gif.gif->SHeight, 480);
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
    EXPECT_TRUE(*png == paneprobe_frame(90));
    EXPECT_EQ(png->at(90, 135), 0xFFB482u);  // inside the rectangle
    EXPECT_EQ(png->at(89, 135), 0x1E1E1Eu);
}

TEST(VekosRunWindow, NoFrameNoFiles)
{
    TempDir dir;
    RunResult r = vekos_run({"--display", "none", "--record", dir / "h.gif", "--screenshot", dir / "h.png",
                             kPaneprobe, "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Usage: paneprobe\n");
    EXPECT_FALSE(fs::exists(dir / "h.gif"));
    EXPECT_FALSE(fs::exists(dir / "h.png"));
    EXPECT_NE(r.err.find("--record " + dir / "h.gif" + ": no frame was presented"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--screenshot " + dir / "h.png" + ": no frame was presented"), std::string::npos) << r.err;
}

// ---- Opening fails on request ---------------------------------------------------------

TEST(VekosRunWindow, GuiFailBothShowsTheFailureLine)
{
    RunResult r = vekos_run({"--display", "none", "--gui-fail", "both", kPaneprobe});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "paneprobe: failed to initialize GUI\n");
}

TEST(VekosRunWindow, GuiFailCreateShowsTheAttachFallbackInTheTrace)
{
    TempDir dir;
    RunResult r = vekos_run({"--fast", "--display", "none", "--frames", "2", "--gui-fail", "create",
                             "--trace=" + dir / "t", kPaneprobe});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream trace(read_file(dir / "t"));
    std::string first, second, third;
    std::getline(trace, first);
    std::getline(trace, second);
    std::getline(trace, third);
    EXPECT_TRUE(first.starts_with("gui_create(0x")) << first;
    EXPECT_TRUE(first.ends_with(", 0x00000000) = -19 (No such device)")) << first;
    EXPECT_TRUE(second.starts_with("gui_attach(0x")) << second;
    EXPECT_TRUE(second.ends_with(", 0x00000000) = 1")) << second;
    EXPECT_TRUE(third.starts_with("gui_poll_event(0x00000001, 0x")) << third;
    EXPECT_TRUE(third.ends_with(", 0x00000014) = 0")) << third;
}

TEST(VekosRunWindow, FramesBoundsAHeadlessRun)
{
    TempDir dir;
    RunResult r = vekos_run({"--fast", "--frames", "7", "--trace=" + dir / "t", kPaneprobe});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string trace = read_file(dir / "t");
    size_t presents = 0;
    for (size_t at = trace.find("gui_present("); at != std::string::npos; at = trace.find("gui_present(", at + 1))
        ++presents;
    EXPECT_EQ(presents, 7u);
}

// ---- Options a user can get wrong -------------------------------------------------------

struct BadOption {
    std::vector<std::string> args;
    int status;
    std::string message;
};

void PrintTo(const BadOption& o, std::ostream* out)
{
    for (const std::string& a : o.args)
        *out << a << ' ';
    *out << "-> " << o.status;
}

class BadOptionTest : public ::testing::TestWithParam<BadOption> {};

TEST_P(BadOptionTest, IsRefusedWithAMessage)
{
    std::vector<std::string> args = GetParam().args;
    args.push_back(kPaneprobe);
    RunResult r = vekos_run(args);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    VekosRunWindow, BadOptionTest,
    ::testing::Values(BadOption{{"--keys", "5:Nope"}, 2, "--keys: key 'Nope'"},
                      BadOption{{"--keys", "q"}, 2, "--keys: 'q': expected FRAME:KEY"},
                      BadOption{{"--keys", "0:q"}, 2, "FRAME must be a whole number from 1"},
                      BadOption{{"--display", "screen"}, 2, "--display"},
                      BadOption{{"--gui-fail", "all"}, 2, "--gui-fail"},
                      BadOption{{"--frames", "0"}, 2, "--frames"},
                      BadOption{{"--display", "window"}, 2, "--display window: no display"},
                      BadOption{{"--record", "/nonexistent-dir/r.gif"}, 125,
                                "--record /nonexistent-dir/r.gif: cannot create the file"}));

TEST(VekosRunWindow, TerminalWithoutATerminalIsRefused)
{
    ChildOptions options;
    options.argv = {kRun, "--display", "terminal", kPaneprobe};
    options.new_session = true;  // no controlling terminal
    RunResult r = run_child(std::move(options));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--display terminal: no terminal"), std::string::npos) << r.err;
}

// ---- Real time ---------------------------------------------------------------------------

TEST(VekosRunWindow, RealTimeFollowsTheCommandsSleeps)
{
    RunResult r = vekos_run({"--display", "none", "--frames", "40", kPaneprobe});
    EXPECT_EQ(r.status, 0);
    // 40 frames of 16 ms each; start-up is small against that.
    EXPECT_GE(r.seconds, 0.64);
    EXPECT_LT(r.seconds, 10.0);
}

// ---- The terminal view, on a pseudo-terminal -----------------------------------------------

class PtyRun {
public:
    explicit PtyRun(std::vector<std::string> args)
    {
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 30;
        std::vector<std::string> argv = {kRun, "--display", "terminal"};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0)
            throw std::runtime_error("forkpty");
        if (pid_ == 0) {
            std::vector<char*> v;
            for (auto& a : argv)
                v.push_back(a.data());
            v.push_back(nullptr);
            unsetenv("DISPLAY");
            execv(v[0], v.data());
            _exit(127);
        }
    }
    ~PtyRun()
    {
        if (!ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
    }
    // Reads until `text` has been seen or the time is up.
    bool read_until(const std::string& text, double seconds)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (output_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            read_some(20);
        }
        return true;
    }
    void type(std::string_view bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void signal(int s) { kill(pid_, s); }
    // Waits for the end; the exit status, or 128 + the signal.
    int wait(double seconds)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int st = 0;
        while (waitpid(pid_, &st, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() >= end)
                return -1;
            read_some(10);
        }
        ended_ = true;
        for (int i = 0; i < 20 && read_some(10); ++i) {
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    termios mode() const
    {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }
    const std::string& output() const { return output_; }

private:
    bool read_some(int timeout_ms)
    {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN))
            return false;
        char buf[65536];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            return false;
        output_.append(buf, size_t(n));
        return true;
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

TEST(TerminalDisplay, ShowsTheFramesAndQuitsOnQ)
{
    PtyRun run({kPaneprobe});
    ASSERT_TRUE(run.read_until(kRectangleCell, 20)) << run.output().substr(0, 400);
    EXPECT_NE(run.output().find("\x1b[?1049h"), std::string::npos);  // its own screen
    // The status line, on the last row: the title and the hint.
    EXPECT_TRUE(run.read_until("\x1b[30;1H\x1b[0m\x1b[2KLegacy Window Test \xe2\x80\x94 q/esc quits", 5));
    EXPECT_FALSE(run.mode().c_lflag & ICANON);  // raw while it runs
    EXPECT_FALSE(run.mode().c_lflag & ECHO);
    run.type("q");
    EXPECT_EQ(run.wait(10), 0);
    expect_given_back(run);
}

TEST(TerminalDisplay, OtherKeysDoNotQuitEscapeDoes)
{
    PtyRun run({kPaneprobe});
    ASSERT_TRUE(run.read_until(kRectangleCell, 20));
    run.type("a;\x1b[A");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(run.wait(0.2), -1) << "quit on a key that is not q, Q or Escape";
    run.type("\x1b");
    EXPECT_EQ(run.wait(10), 0);
    expect_given_back(run);
}

TEST(TerminalDisplay, GivenBackWhenKilled)
{
    for (int s : {SIGTERM, SIGINT}) {
        PtyRun run({kPaneprobe});
        ASSERT_TRUE(run.read_until(kRectangleCell, 20));
        run.signal(s);
        EXPECT_EQ(run.wait(10), 128 + s);
        expect_given_back(run);
    }
}

TEST(TerminalDisplay, GivenBackWhenTheGuestFaults)
{
    PtyRun run({kWindowFault});
    EXPECT_EQ(run.wait(20), 139);
    EXPECT_NE(run.output().find("\x1b[38;2;0;255;0m"), std::string::npos) << "its frame was not shown";
    EXPECT_NE(run.output().find("segmentation fault"), std::string::npos);
    expect_given_back(run);
}

TEST(TerminalDisplay, GivenBackWhenTimedOut)
{
    PtyRun run({"--timeout", "0.5", kPaneprobe});
    EXPECT_EQ(run.wait(20), 124);
    expect_given_back(run);
}

} // namespace
} // namespace vekos::test
