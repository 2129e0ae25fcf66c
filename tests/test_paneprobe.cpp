// paneprobe end to end: the real i386 command on the stand-in with the window
// service, headless, keys scripted by frame; every call it makes, as the
// trace shows it.
#include "window_harness.h"

#include "cli/options.h"

#include <gtest/gtest.h>

namespace vekos::test {
namespace {

using Lines = std::vector<std::string>;

const std::string kTexts = "(\"Legacy Window Test\", \"q/esc quits\")";

// The calls `before`, then of frames with the rectangle at 82, 84, ...: per frame, the polls that find its
// keys and the one that finds none, then the drawing from gui_begin to the sleep; then exit(0).
Lines frames(Lines calls, const std::vector<std::vector<int>>& keys)
{
    for (size_t i = 0; i < keys.size(); ++i) {
        for (int code : keys[i])
            calls.push_back("gui_poll_event(1, {type=1, code=" + std::to_string(code) + "}, 20) = 1");
        calls.insert(calls.end(),
            {"gui_poll_event(1, ADDR, 20) = 0", "gui_begin(1) = 0", "gui_clear(1, {color=0x1e1e1e}) = 0",
                "gui_fill_rect(1, {x=" + std::to_string(82 + 2 * i) + ", y=90, w=140, h=90, color=0xffb482}) = 0",
                "gui_draw_text(1, {x=10, y=10, color=0xdedede, text=\"Legacy window test command\"}) = 0",
                "gui_present(1) = 0", "usleep(16000) = 0"});
    }
    calls.push_back("exit(0) = ?");
    return calls;
}

// The whole conversation with the kernel, call for call and record for record: frames without a key, every
// event of the quitting frame drained, Escape quits, other keys do not; a refused create is followed by an attach.
TEST(Paneprobe, MakesExactlyTheseCallsFromStartToExit)
{
    const std::string refused = " = -19 ENODEV (No such device)", create = "gui_create" + kTexts,
                      attach = "gui_attach" + kTexts;
    const std::tuple<GuiFailure, std::vector<ScriptedKey>, Lines, Lines, std::string> cases[]
        = {{GuiFailure::create, {{1, 'Q'}}, {"paneprobe"}, frames({create + refused, attach + " = 1"}, {{'Q'}}), ""},
            {GuiFailure::both, {}, {"paneprobe"},
                {create + refused, attach + refused, "write(1, \"paneprobe: failed to initialize \"..., 35) = 35",
                    "write(1, \"\\n\", 1) = 1", "exit(1) = ?"},
                "paneprobe: failed to initialize GUI\n"},
            {GuiFailure::none, {}, {"paneprobe", "-h", "x"},
                {"write(1, \"Usage: paneprobe\", 16) = 16", "write(1, \"\\n\", 1) = 1", "exit(0) = ?"},
                "Usage: paneprobe\n"},
            {GuiFailure::none, {{2, 'a'}, {2, 27}, {2, 'q'}, {3, 'z'}}, {"paneprobe"},
                frames({create + " = 1"}, {{}, {'a', 27, 'q'}}), ""}};
    for (const auto& [fail, keys, argv, calls, output] : cases) {
        SCOPED_TRACE(calls.back() + " after " + std::to_string(calls.size()) + " calls");
        WindowRun run({kWindowWidth, kWindowHeight, fail, keys});
        EXPECT_EQ(run.run(argv).why, Stop::Why::Exited);
        EXPECT_EQ(run.transcript(), calls);
        EXPECT_EQ(run.output(), output);
    }
}

// Handle 0 is a window like any other: paneprobe draws on (its polls refused, no key comes, so the
// instruction limit ends the run) instead of giving up.
TEST(Paneprobe, TakesHandleZeroForAWindow)
{
    WindowRun run({kWindowWidth, kWindowHeight, GuiFailure::none, {}, {}});
    run.session().kernel().add_injection(parse_injection("gui_create=0"));
    run.session().machine().set_instruction_limit(1'000'000);
    EXPECT_EQ(run.run().why, Stop::Why::InstructionLimit);
    EXPECT_EQ(run.output(), "");
}

// Frames presented with a key in frame 3 and q in frame 8: only q, Q and Escape quit (not the codes beside
// them, with the case bit flipped or bits above a byte); only -h first asks for help.  attach is refused
// and never asked: create works.
TEST(Paneprobe, OnlyQQAndEscapeQuitOnlyDashHFirstAsksForHelp)
{
    std::vector<std::pair<int32_t, Lines>> rows;
    for (int32_t key : std::initializer_list<int32_t>{'q', 'Q', 27, 'a', 'p', 'r', 0x3B, 0xD1, 0x151, 0x171, 26})
        rows.push_back({key, {"paneprobe"}});
    for (const Lines& argv : {Lines{"paneprobe", "x", "-h"}, {"paneprobe", "--help"}, {"paneprobe", "-H"},
             {"paneprobe", "-hh"}, {"paneprobe", ""}})
        rows.push_back({'a', argv});
    for (const auto& [key, argv] : rows) {
        SCOPED_TRACE(std::to_string(key) + " " + argv.back());
        WindowRun run({kWindowWidth, kWindowHeight, GuiFailure::attach, {{3, key}, {8, 'q'}}});
        run.run(argv);
        EXPECT_EQ(run.output(), "");
        EXPECT_EQ(run.gui().frames_presented(), key == 'q' || key == 'Q' || key == 27 ? 3u : 8u);
    }
}

// 82 up to 422 (frame 171), down to 18 (frame 373), up again; the first frame's rectangle corners and
// just outside them, checks that need no font (whole frames: the recording and screenshot in test_vekos_run).
TEST(Paneprobe, RectangleGoesRightTurnsAt422AndLeftTo18UnderTheCaption)
{
    WindowRun run({kWindowWidth, kWindowHeight, GuiFailure::none, {{420, 'q'}}});
    run.keep_frames({1});
    run.run();
    const std::vector<int32_t> xs = run.rectangle_xs();
    ASSERT_EQ(xs.size(), 420u);
    for (int32_t i = 0; i < 420; ++i)
        ASSERT_EQ(xs[i],
            i <= 170       ? 82 + 2 * i
                : i <= 372 ? 422 - 2 * (i - 170)
                           : 18 + 2 * (i - 372))
            << "frame " << i + 1;
    const Framebuffer& f = run.frame(1);
    EXPECT_EQ(std::vector<uint32_t>({f.at(82, 90), f.at(221, 179), f.at(81, 90), f.at(222, 90), f.at(82, 89)}),
        std::vector<uint32_t>({kRectangle, kRectangle, kBackground, kBackground, kBackground}));
}

} // namespace
} // namespace vekos::test
