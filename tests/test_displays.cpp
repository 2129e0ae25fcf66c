// The displays end to end, one smoke test each: paneprobe in a real window on
// an X server of its own (Xvfb), and in the terminal view on a
// pseudo-terminal, which it gives back.
#include "harness.h"
#include "processes.h"
#include "window/display_terminal.h"
#include "window_harness.h"

#include <arpa/inet.h>

#include <csignal>

namespace vekos::test {
namespace {

const std::string kRun = (build_dir() / "bin/vekos-run").string();
const std::string kPaneprobe = (build_dir() / "bin/paneprobe").string();

// An X server on a display number it picks itself and writes to its standard output (-displayfd 1).
struct Xvfb {
    Process server{
        {{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"}, {}, {}}};
    std::string display = server.wait_for_output("\n", 15) ? ':' + server.out.substr(0, server.out.find('\n')) : "";
    ~Xvfb() { server.signal(SIGTERM), server.wait(5); } // a killed server would leave its lock file
    // A program run with DISPLAY set to this server's.
    ProcessOptions on_display(std::vector<std::string> argv) const { return {argv, {{"DISPLAY", display}}, {}}; }
};

// How many pixels of this colour the X screen shows. xwd writes a header, a
// colour map of 12-byte entries, then rows of 24- or 32-bit pixels, low byte first.
size_t pixels_of(const Xvfb& x, uint32_t colour)
{
    const std::string screen = run(x.on_display({"xwd", "-root", "-silent"}), 20).out;
    auto header = [&](size_t i) { // big-endian words
        return screen.size() < 4 * i + 4 ? 0u : ntohl(*reinterpret_cast<const uint32_t*>(screen.data() + 4 * i));
    };
    const size_t width = header(4), height = header(5), pixel_bytes = header(11) / 8, row_bytes = header(12);
    const size_t first = header(0) + 12 * size_t(header(19));
    const char bytes[3] = {char(colour), char(colour >> 8), char(colour >> 16)};
    size_t count = 0;
    for (size_t y = 0; y < height && first + (y + 1) * row_bytes <= screen.size(); ++y)
        for (size_t at = first + y * row_bytes, column = 0; column < width; ++column, at += pixel_bytes)
            count += screen.compare(at, 3, bytes, 3) == 0;
    return count;
}

TEST(X11Window, ShowsTheTitleAndTheFrameAndATypedQQuits)
{
    Xvfb x;
    ASSERT_FALSE(x.display.empty()) << "Xvfb (Debian package xvfb) did not start";
    Process vekos(x.on_display({kRun, "--frames", "100000", kPaneprobe})); // --display auto picks the window
    // The frame: 640 x 480 of background less the 140 x 90 rectangle and the caption's pixels.
    bool shown = false;
    for (int i = 0; i < 200 && !shown && !vekos.done; ++i, vekos.wait(0.1))
        shown = pixels_of(x, kRectangle) == 140u * 90u && pixels_of(x, kBackground) > 640u * 480u - 140u * 90u - 4000u;
    ASSERT_TRUE(shown) << vekos.err;
    // The title is the program's; a q typed on the window ends it with 0.
    const RunResult typed = run(
        x.on_display({"xdotool", "search", "--name", "^Legacy Window Test$", "windowfocus", "--sync", "key", "q"}), 20);
    ASSERT_EQ(typed.status, 0) << typed.err;
    ASSERT_TRUE(vekos.wait(10)) << "q did not end the program";
    EXPECT_EQ(vekos.status, 0) << vekos.err;
}

// Ended by a typed q, and by a signal (which its handler must give the terminal back on): raw on a screen of
// its own with the status line while it runs; afterwards the leave sequence last, cooked and echoing again.
TEST(TerminalDisplay, ShowsTheFramesRawUntilQOrASignalAndIsGivenBack)
{
    for (const int signal : {0, SIGTERM}) {
        SCOPED_TRACE(signal);
        Process p(ProcessOptions{{kRun, "--display", "terminal", kPaneprobe}, {}, {"DISPLAY", "WAYLAND_DISPLAY"},
            ProcessOptions::Output::collected, true});
        ASSERT_TRUE(p.wait_for_output("\x1b[38;2;255;180;130m", 20)) << p.out.substr(0, 400); // the rectangle
        EXPECT_NE(p.out.find("\x1b[?1049h"), std::string::npos);
        EXPECT_TRUE(p.wait_for_output("\x1b[30;1H\x1b[0m\x1b[2KLegacy Window Test \xe2\x80\x94 q/esc quits", 5));
        EXPECT_FALSE(p.terminal_mode().c_lflag & (ICANON | ECHO));
        signal ? p.signal(signal) : p.type("q");
        ASSERT_TRUE(p.wait(10));
        EXPECT_EQ(p.status, signal ? 128 + signal : 0);
        const size_t leave = p.out.rfind(std::string(kTerminalLeave));
        ASSERT_NE(leave, std::string::npos) << "the terminal was not given back";
        EXPECT_EQ(p.out.find("\xe2\x96\x80", leave), std::string::npos) << "drawing after leaving";
        const termios t = p.terminal_mode();
        EXPECT_TRUE((t.c_lflag & ICANON) && (t.c_lflag & ECHO) && (t.c_iflag & ICRNL));
    }
}

} // namespace
} // namespace vekos::test
