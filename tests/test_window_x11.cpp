// A real window: vekos-run --display window on an X server of its own (Xvfb),
// a screenshot of the X screen (xwd), the title (xwininfo) and a typed q (xdotool).
#include "font.h"
#include "harness.h"
#include "window_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kBackground = 0x1E1E1E, kRectangle = 0xFFB482, kCaption = 0xDEDEDE;

// An X server on a display number it picks itself (-displayfd).
class Xvfb {
public:
    Xvfb()
    {
        if (!on_path("Xvfb")) {
            why_not_ = "Xvfb is not installed (Debian package xvfb)";
            return;
        }
        int fds[2];
        if (pipe(fds) != 0) {
            why_not_ = "pipe failed";
            return;
        }
        ChildOptions options;
        options.argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                        "-nolisten", "tcp", "-br", "-noreset"};
        options.pass_fd = fds[1];
        try {
            server_.emplace(std::move(options));
        } catch (const std::exception& e) {
            why_not_ = std::string("Xvfb cannot be started: ") + e.what();
        }
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (server_ && number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            if (poll(&p, 1, 100) > 0) {
                char buf[32];
                ssize_t n = read(fds[0], buf, sizeof buf);
                if (n <= 0)
                    break;
                number.append(buf, size_t(n));
            }
        }
        close(fds[0]);
        if (server_ && number.find('\n') != std::string::npos)
            display_ = ":" + number.substr(0, number.find('\n'));
        else if (why_not_.empty())
            why_not_ = "Xvfb did not start: " + (server_ && server_->wait(0.5) ? server_->err() : std::string("no display number"));
    }
    ~Xvfb()
    {
        if (server_) {
            server_->signal(SIGTERM);
            server_->wait(5);
        }
    }
    const std::string& display() const { return display_; }
    const std::string& why_not() const { return why_not_; }

private:
    std::optional<Child> server_;
    std::string display_;
    std::string why_not_;
};

// The root window as xwd writes it (a ZPixmap of 24- or 32-bit pixels).
struct Screen {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB
    uint32_t at(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

uint32_t be32(const std::string& b, size_t at)
{
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
           uint8_t(b[at + 3]);
}

std::optional<Screen> parse_xwd(const std::string& b, std::string& why)
{
    if (b.size() < 100) {
        why = "xwd output too short";
        return std::nullopt;
    }
    const uint32_t header = be32(b, 0), version = be32(b, 4), format = be32(b, 8), width = be32(b, 16),
                   height = be32(b, 20), byte_order = be32(b, 28), bpp = be32(b, 44), line = be32(b, 48),
                   red = be32(b, 56), green = be32(b, 60), blue = be32(b, 64), colours = be32(b, 76);
    if (version != 7 || format != 2 || (bpp != 32 && bpp != 24)) {
        why = "unexpected xwd format (version " + std::to_string(version) + ", format " + std::to_string(format) +
              ", " + std::to_string(bpp) + " bits a pixel)";
        return std::nullopt;
    }
    const size_t data = header + size_t(colours) * 12;
    if (b.size() < data + size_t(line) * height) {
        why = "xwd image truncated";
        return std::nullopt;
    }
    auto shift_of = [](uint32_t mask) {
        int s = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++s;
        }
        return s;
    };
    Screen s;
    s.width = int(width);
    s.height = int(height);
    s.pixels.resize(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const size_t bytes = bpp / 8;
            const uint8_t* p = reinterpret_cast<const uint8_t*>(b.data() + data + size_t(y) * line + x * bytes);
            uint32_t v = 0;
            for (size_t i = 0; i < bytes; ++i)
                v |= uint32_t(p[i]) << (8 * (byte_order == 0 ? i : bytes - 1 - i));
            const uint32_t r = (v & red) >> shift_of(red), g = (v & green) >> shift_of(green),
                           bl = (v & blue) >> shift_of(blue);
            s.pixels[size_t(y) * width + x] = r << 16 | g << 8 | bl;
        }
    return s;
}

struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;  // inclusive
    bool empty() const { return x1 < 0; }
};

Box box_of(const Screen& s, uint32_t colour)
{
    Box b;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            if (s.at(x, y) == colour) {
                b.x0 = std::min(b.x0, x);
                b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x);
                b.y1 = std::max(b.y1, y);
            }
    return b;
}

TEST(X11Window, ShowsTheFrameTakesTheTitleAndQuitsOnATypedQ)
{
    Xvfb x;
    if (x.display().empty())
        GTEST_SKIP() << "no X server for this test: " << x.why_not();
    const std::vector<std::pair<std::string, std::string>> env = {{"DISPLAY", x.display()}};

    ChildOptions run;
    run.argv = {(build_dir() / "bin/vekos-run").string(), "--display", "window", "--frames", "100000",
                (build_dir() / "bin/paneprobe").string()};
    run.set_env = env;
    Child vekos(std::move(run));

    // Wait for the window: the background colour over the full 640x480.
    std::optional<Screen> screen;
    Box window;
    std::string why;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_TRUE(vekos.running()) << "vekos-run ended: " << vekos.err();
        ChildOptions xwd;
        xwd.argv = {"xwd", "-root", "-silent"};
        xwd.set_env = env;
        RunResult shot = run_child(std::move(xwd), 20);
        ASSERT_EQ(shot.status, 0) << "xwd: " << shot.err;
        screen = parse_xwd(shot.out, why);
        ASSERT_TRUE(screen) << why;
        window = box_of(*screen, kBackground);
        if (!window.empty() && window.x1 - window.x0 + 1 == 640 && window.y1 - window.y0 + 1 == 480 &&
            !box_of(*screen, kRectangle).empty())
            break;
        vekos.wait(0.1);
    }
    ASSERT_FALSE(window.empty()) << "no window showed up";
    ASSERT_EQ(window.x1 - window.x0 + 1, 640);
    ASSERT_EQ(window.y1 - window.y0 + 1, 480);
    const int ox = window.x0, oy = window.y0;

    // The rectangle: 140 x 90 at y 90, somewhere on its path (18 .. 422, even).
    const Box rect = box_of(*screen, kRectangle);
    ASSERT_FALSE(rect.empty());
    EXPECT_EQ(rect.y0 - oy, 90);
    EXPECT_EQ(rect.y1 - rect.y0 + 1, 90);
    EXPECT_EQ(rect.x1 - rect.x0 + 1, 140);
    const int rx = rect.x0 - ox;
    EXPECT_GE(rx, 18);
    EXPECT_LE(rx, 422);
    EXPECT_EQ(rx % 2, 0);
    for (int y = rect.y0; y <= rect.y1; ++y)
        for (int xx = rect.x0; xx <= rect.x1; ++xx)
            ASSERT_EQ(screen->at(xx, y), kRectangle) << xx - ox << ", " << y - oy;
    EXPECT_EQ(screen->at(rect.x0 - 1, rect.y0 + 45), kBackground);
    EXPECT_EQ(screen->at(rect.x1 + 1, rect.y0 + 45), kBackground);

    // The caption, pixel for pixel from the console font.
    const Font& font = console_font();
    const std::string caption = "Legacy window test command";
    int wrong = 0, lit = 0;
    for (int y = 0; y < font.height(); ++y)
        for (int xx = 0; xx < int(caption.size()) * font.width(); ++xx) {
            const bool set = font.pixel(uint8_t(caption[size_t(xx / font.width())]), xx % font.width(), y);
            lit += set;
            wrong += screen->at(ox + 10 + xx, oy + 10 + y) != (set ? kCaption : kBackground);
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(lit, 200);

    // The window's title is the program's.
    ChildOptions info;
    info.argv = {"xwininfo", "-root", "-tree"};
    info.set_env = env;
    RunResult tree = run_child(std::move(info), 20);
    EXPECT_NE(tree.out.find("\"Legacy Window Test\""), std::string::npos) << tree.out;

    // A q typed on the window ends the program with 0.
    ChildOptions key;
    key.argv = {"xdotool", "mousemove", "--sync", std::to_string(ox + 320), std::to_string(oy + 300), "click", "1",
                "key", "q"};
    key.set_env = env;
    RunResult typed = run_child(std::move(key), 20);
    ASSERT_EQ(typed.status, 0) << "xdotool: " << typed.err;
    ASSERT_TRUE(vekos.wait(10)) << "q did not end the program";
    EXPECT_EQ(vekos.exit_status(), 0) << vekos.err();
}

TEST(X11Window, AutoPicksTheWindowWhenADisplayIsThere)
{
    Xvfb x;
    if (x.display().empty())
        GTEST_SKIP() << "no X server for this test: " << x.why_not();
    const std::vector<std::pair<std::string, std::string>> env = {{"DISPLAY", x.display()}};
    ChildOptions run;
    run.argv = {(build_dir() / "bin/vekos-run").string(), "--frames", "100000",
                (build_dir() / "bin/paneprobe").string()};
    run.set_env = env;
    Child vekos(std::move(run));
    bool seen = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!seen && std::chrono::steady_clock::now() < end && vekos.running()) {
        ChildOptions info;
        info.argv = {"xwininfo", "-root", "-tree"};
        info.set_env = env;
        seen = run_child(std::move(info), 20).out.find("\"Legacy Window Test\"") != std::string::npos;
        vekos.wait(0.1);
    }
    EXPECT_TRUE(seen) << vekos.err();
}

} // namespace
} // namespace vekos::test
