// paneprobe end to end: the real i386 command on the stand-in with the window
// service, headless, keys scripted by frame; every call it makes, as the
// trace shows it.
#include "window_harness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vekos::test {
namespace {

using Lines = std::vector<std::string>;

const std::string kCreate = "gui_create(\"Legacy Window Test\", \"q/esc quits\")";
const std::string kNoEvent = "gui_poll_event(1, ADDR, 20) = 0";

// One frame with the rectangle at x, from gui_begin to the sleep.
Lines frame(int x)
{
    return {"gui_begin(1) = 0", "gui_clear(1, {color=0x1e1e1e}) = 0",
        "gui_fill_rect(1, {x=" + std::to_string(x) + ", y=90, w=140, h=90, color=0xffb482}) = 0",
        "gui_draw_text(1, {x=10, y=10, color=0xdedede, text=\"Legacy window test command\"}) = 0",
        "gui_present(1) = 0", "usleep(16000) = 0"};
}

Lines operator+(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string key_event(int code) { return "gui_poll_event(1, {type=1, code=" + std::to_string(code) + "}, 20) = 1"; }

WindowOptions keys(std::vector<ScriptedKey> scripted, GuiFailure fail = GuiFailure::none)
{
    return WindowOptions{kWindowWidth, kWindowHeight, fail, std::move(scripted)};
}

struct Case {
    const char* name;
    WindowOptions window;
    std::vector<std::string> argv;
    Lines calls; // every call, in order
    std::string output;
};

// The whole conversation with the kernel, call for call and record for record.
TEST(Paneprobe, MakesExactlyTheseCallsFromStartToExit)
{
    const Case cases[] = {
        {"three frames, q in the third", keys({{3, 'q'}}), {"paneprobe"},
            Lines{kCreate + " = 1", kNoEvent} + frame(82) + Lines{kNoEvent} + frame(84)
                + Lines{key_event('q'), kNoEvent} + frame(86) + Lines{"exit(0) = ?"},
            ""},
        {"create refused, attach opens", keys({{1, 'Q'}}, GuiFailure::create), {"paneprobe"},
            Lines{kCreate + " = -19 (No such device)", "gui_attach(\"Legacy Window Test\", \"q/esc quits\") = 1",
                key_event('Q'), kNoEvent} + frame(82) + Lines{"exit(0) = ?"},
            ""},
        {"no window at all", keys({}, GuiFailure::both), {"paneprobe"},
            Lines{kCreate + " = -19 (No such device)",
                "gui_attach(\"Legacy Window Test\", \"q/esc quits\") = -19 (No such device)",
                "write(1, \"paneprobe: failed to initialize \"..., 35) = 35", "write(1, \"\\n\", 1) = 1",
                "exit(1) = ?"},
            "paneprobe: failed to initialize GUI\n"},
        {"-h", keys({}), {"paneprobe", "-h", "x"},
            Lines{"write(1, \"Usage: paneprobe\", 16) = 16", "write(1, \"\\n\", 1) = 1", "exit(0) = ?"},
            "Usage: paneprobe\n"},
        // Every event of the quitting frame is drained; Escape quits, other keys do not.
        {"drained", keys({{2, 'a'}, {2, 27}, {2, 'q'}, {3, 'z'}}), {"paneprobe"},
            Lines{kCreate + " = 1", kNoEvent} + frame(82)
                + Lines{key_event('a'), key_event(27), key_event('q'), kNoEvent} + frame(84) + Lines{"exit(0) = ?"},
            ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WindowRun run(c.window);
        const Stop stop = run.run(c.argv);
        EXPECT_EQ(stop.why, Stop::Why::Exited);
        EXPECT_EQ(run.transcript(), c.calls);
        EXPECT_EQ(run.output(), c.output);
    }
}

TEST(Paneprobe, OnlyQQAndEscapeQuitOnlyDashHFirstAsksForHelp)
{
    const std::pair<int32_t, uint64_t> rows[] = {// a key in frame 3, the frames presented (q comes in 8)
        {'q', 3}, {'Q', 3}, {27, 3}, {'a', 8}, {'p', 8}, {'r', 8}, {0x3B, 8}, {0xD1, 8}, {0x151, 8}, {0x171, 8},
        {26, 8}, {'q' + 256, 8}, {'Q' + 256, 8}};
    for (const auto& [key, frames] : rows) {
        SCOPED_TRACE(key);
        WindowRun run(keys({{3, key}, {8, 'q'}}));
        run.run();
        EXPECT_EQ(run.gui().frames_presented(), frames);
    }
    for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{{"paneprobe", "x", "-h"},
             {"paneprobe", "--help"}, {"paneprobe", "-H"}, {"paneprobe", "-hh"}, {"paneprobe", ""}}) {
        SCOPED_TRACE(argv.back());
        WindowRun run(keys({{2, 'q'}}));
        run.run(argv);
        EXPECT_EQ(run.output(), "");
        EXPECT_EQ(run.gui().frames_presented(), 2u);
    }
    WindowRun attach_refused(keys({{1, 'q'}}, GuiFailure::attach)); // create works: attach is never asked
    attach_refused.run();
    EXPECT_EQ(attach_refused.transcript()[0], kCreate + " = 1");
    EXPECT_EQ(attach_refused.gui().frames_presented(), 1u);
}

TEST(Paneprobe, RectangleGoesRightTurnsAt422AndLeftTo18)
{
    WindowRun run(keys({{420, 'q'}}));
    run.run();
    const std::vector<int32_t> xs = run.rectangle_xs();
    ASSERT_EQ(xs.size(), 420u);
    for (size_t i = 0; i < xs.size(); ++i) { // 82 up to 422 (frame 171), down to 18 (frame 373), up again
        const int32_t want = i <= 170 ? 82 + 2 * int32_t(i) : i <= 372 ? 422 - 2 * int32_t(i - 170) : 18 + 2 * int32_t(i - 372);
        ASSERT_EQ(xs[i], want) << "frame " << i + 1;
    }
}

TEST(Paneprobe, FramesShowTheRectangleAndTheCaption)
{
    WindowRun run(keys({{172, 'q'}}));
    run.keep_frames({1, 171, 172});
    run.run();
    for (auto [number, x] : {std::pair<uint64_t, int>{1, 82}, {171, 422}, {172, 420}})
        EXPECT_TRUE(run.frame(number) == paneprobe_frame(x)) << "frame " << number;
    // Spot checks that need no font: the rectangle's corners and just outside.
    const Framebuffer& f = run.frame(1);
    EXPECT_EQ(std::vector<uint32_t>({f.at(82, 90), f.at(221, 179), f.at(81, 90), f.at(222, 90), f.at(82, 89)}),
        std::vector<uint32_t>({kRectangle, kRectangle, kBackground, kBackground, kBackground}));
}

} // namespace
} // namespace vekos::test
