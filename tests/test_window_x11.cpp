// A real window: vekos-run --display window on an X server of its own (Xvfb),
// a screenshot of the X screen (xwd), the title (xwininfo) and a typed q (xdotool).
#include "harness.h"
#include "window_files.h"
#include "window_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kBackground = 0x1E1E1E, kRectangle = 0xFFB482; // the caption is 0xDEDEDE

// An X server on a display number it picks itself (-displayfd).
class Xvfb {
public:
    Xvfb()
    {
        int fds[2];
        if (!on_path("Xvfb") || pipe(fds) != 0) {
            why_not_ = "Xvfb is not installed (Debian package xvfb), or no pipe for it";
            return;
        }
        ChildOptions options;
        options.argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
            "-br", "-noreset"};
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
            display_ = ':' + number.erase(number.find('\n'));
        else if (why_not_.empty())
            why_not_ = "Xvfb did not start: "
                + (server_ && server_->wait(0.5) ? server_->err() : std::string("no display number"));
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
    std::vector<uint32_t> pixels; // 0x00RRGGBB
    uint32_t at(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

uint32_t be32(const std::string& b, size_t at)
{
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8
        | uint8_t(b[at + 3]);
}

// nullopt when it is not a ZPixmap of 24- or 32-bit pixels, or is cut short.
std::optional<Screen> parse_xwd(const std::string& b)
{
    if (b.size() < 100)
        return std::nullopt;
    const uint32_t header = be32(b, 0), version = be32(b, 4), format = be32(b, 8), width = be32(b, 16),
                   height = be32(b, 20), byte_order = be32(b, 28), bpp = be32(b, 44), line = be32(b, 48),
                   colours = be32(b, 76), masks[] = {be32(b, 56), be32(b, 60), be32(b, 64)};
    const size_t data = header + size_t(colours) * 12, bytes = bpp / 8;
    if (version != 7 || format != 2 || (bpp != 32 && bpp != 24) || b.size() < data + size_t(line) * height)
        return std::nullopt;
    Screen s{int(width), int(height), std::vector<uint32_t>(size_t(width) * height)};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(b.data() + data + size_t(y) * line + x * bytes);
            uint32_t v = 0, rgb = 0;
            for (size_t i = 0; i < bytes; ++i)
                v |= uint32_t(p[i]) << (8 * (byte_order == 0 ? i : bytes - 1 - i));
            for (uint32_t mask : masks)
                rgb = rgb << 8 | (mask ? (v & mask) >> std::countr_zero(mask) : 0);
            s.pixels[size_t(y) * width + x] = rgb;
        }
    return s;
}

struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1; // inclusive
    bool empty() const { return x1 < 0; }
    std::pair<int, int> size() const { return {x1 - x0 + 1, y1 - y0 + 1}; }
};

Box box_of(const Screen& s, uint32_t colour)
{
    Box b;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            if (s.at(x, y) == colour)
                b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y)};
    return b;
}

// A program run with DISPLAY set to the X server's.
ChildOptions on_display(const Xvfb& x, std::vector<std::string> argv)
{
    ChildOptions options;
    options.argv = std::move(argv);
    options.set_env = {{"DISPLAY", x.display()}};
    return options;
}

Child start_paneprobe(const Xvfb& x, std::vector<std::string> args)
{
    std::vector<std::string> argv = {(build_dir() / "bin/vekos-run").string(), "--frames", "100000"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back((build_dir() / "bin/paneprobe").string());
    return Child(on_display(x, argv));
}

bool title_shown(const Xvfb& x)
{
    return run_child(on_display(x, {"xwininfo", "-root", "-tree"}), 20).out.find("\"Legacy Window Test\"")
        != std::string::npos;
}

TEST(X11Window, ShowsTheFrameTakesTheTitleAndQuitsOnATypedQ)
{
    Xvfb x;
    if (x.display().empty())
        GTEST_SKIP() << "no X server for this test: " << x.why_not();
    Child vekos = start_paneprobe(x, {"--display", "window"});
    // Wait for the window: the background colour over the full 640x480, and the rectangle.
    std::optional<Screen> screen;
    Box window;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end; vekos.wait(0.1)) {
        ASSERT_TRUE(vekos.running()) << "vekos-run ended: " << vekos.err();
        RunResult shot = run_child(on_display(x, {"xwd", "-root", "-silent"}), 20);
        ASSERT_EQ(shot.status, 0) << "xwd: " << shot.err;
        screen = parse_xwd(shot.out);
        ASSERT_TRUE(screen) << "xwd wrote what this test cannot read";
        window = box_of(*screen, kBackground);
        if (window.size() == std::pair{640, 480} && !box_of(*screen, kRectangle).empty())
            break;
    }
    ASSERT_FALSE(window.empty()) << "no window showed up";
    ASSERT_EQ(window.size(), (std::pair{640, 480}));
    const int ox = window.x0, oy = window.y0;

    // The rectangle, 140 x 90 at y 90, somewhere on its path (18 .. 422, even); then the whole window,
    // caption included, pixel for pixel.
    const Box rect = box_of(*screen, kRectangle);
    ASSERT_FALSE(rect.empty());
    EXPECT_EQ(rect.y0 - oy, 90);
    EXPECT_EQ(rect.size(), (std::pair{140, 90}));
    const int rx = rect.x0 - ox;
    EXPECT_TRUE(rx >= 18 && rx <= 422 && rx % 2 == 0) << rx;
    const Framebuffer want = paneprobe_frame(rx);
    int wrong = 0;
    for (int y = 0; y < 480; ++y)
        for (int xx = 0; xx < 640; ++xx)
            if (screen->at(ox + xx, oy + y) != want.at(xx, y) && ++wrong <= 5)
                ADD_FAILURE() << "pixel (" << xx << ", " << y << ") is " << std::hex << screen->at(ox + xx, oy + y);
    EXPECT_EQ(wrong, 0);

    EXPECT_TRUE(title_shown(x)); // the window's title is the program's
    // A q typed on the window ends the program with 0.
    RunResult typed = run_child(on_display(x,
                                    {"xdotool", "mousemove", "--sync", std::to_string(ox + 320),
                                        std::to_string(oy + 300), "click", "1", "key", "q"}),
        20);
    ASSERT_EQ(typed.status, 0) << "xdotool: " << typed.err;
    ASSERT_TRUE(vekos.wait(10)) << "q did not end the program";
    EXPECT_EQ(vekos.exit_status(), 0) << vekos.err();
}

TEST(X11Window, AutoPicksTheWindowWhenADisplayIsThere)
{
    Xvfb x;
    if (x.display().empty())
        GTEST_SKIP() << "no X server for this test: " << x.why_not();
    Child vekos = start_paneprobe(x, {});
    bool seen = false;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !seen && std::chrono::steady_clock::now() < end && vekos.running(); vekos.wait(0.1))
        seen = title_shown(x);
    EXPECT_TRUE(seen) << vekos.err();
}

} // namespace
} // namespace vekos::test
