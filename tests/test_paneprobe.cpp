// paneprobe end to end: the real i386 command on the stand-in with the window
// service, headless, keys scripted by frame.
#include "kernel/calls.h"
#include "window_files.h"
#include "window_harness.h"

#include <algorithm>

namespace vekos::test {
namespace {

constexpr uint32_t kHandle = 1;
constexpr const char* kTitle = "Legacy Window Test";
constexpr const char* kHint = "q/esc quits";
constexpr uint32_t kRectY = 90, kRectW = 140, kRectH = 90;
using Argv = std::vector<std::string>;

WindowOptions with_keys(std::vector<ScriptedKey> keys, GuiFailure fail = GuiFailure::none)
{
    WindowOptions options;
    options.keys = std::move(keys);
    options.fail = fail;
    return options;
}

size_t count_of(const std::vector<CallRecord>& log, bool (*pick)(const CallRecord&))
{
    return size_t(std::count_if(log.begin(), log.end(), pick));
}

void expect_exit(const Stop& stop, int32_t status)
{
    ASSERT_EQ(stop.why, Stop::Why::Exited) << (stop.fault ? stop.fault->message() : "");
    EXPECT_EQ(stop.exit_status, status);
}

using Calls = std::vector<std::pair<uint32_t, std::optional<int32_t>>>;

// The number and answer of each of the first window calls.
Calls first_calls(const WindowRun& run, size_t count)
{
    Calls out;
    for (size_t i = 0; i < count && i < run.window_calls().size(); ++i)
        out.emplace_back(run.window_calls()[i].regs.eax, run.window_calls()[i].answer);
    return out;
}

// The answers of the polls that delivered an event, and their codes.
std::vector<uint32_t> delivered_codes(const WindowRun& run)
{
    std::vector<uint32_t> codes;
    for (const SeenCall& c : run.window_calls())
        if (c.regs.eax == VEKOS_SYS_gui_poll_event && c.answer == 1) {
            EXPECT_EQ(c.record, (std::vector<uint32_t>{1, c.record.at(1), 0, 0, 0}));
            codes.push_back(c.record.at(1));
        }
    return codes;
}

TEST(PaneprobeArguments, DashHFirstPrintsUsageAndOpensNoWindowOtherArgumentsOpenIt)
{
    const std::vector<std::pair<Argv, bool>> rows = {// argv, whether it is a request for help
        {{"paneprobe", "-h"}, true}, {{"paneprobe", "-h", "extra"}, true}, {{"paneprobe", "-h", "-h"}, true},
        {{"paneprobe"}, false}, {{"paneprobe", "x", "-h"}, false}, {{"paneprobe", "--help"}, false},
        {{"paneprobe", "-H"}, false}, {{"paneprobe", "-hh"}, false}, {{"paneprobe", ""}, false}};
    for (const auto& [argv, help] : rows) {
        SCOPED_TRACE(argv.size() > 1 ? argv[1] + " " + argv.back() : "no arguments");
        WindowRun run(with_keys({{2, 'q'}}));
        expect_exit(run.run(argv), 0);
        EXPECT_EQ(run.output(), help ? "Usage: paneprobe\n" : "");
        EXPECT_EQ(run.gui().frames_presented(), help ? 0u : 2u);
        if (help) {
            EXPECT_EQ(count_of(run.log(), [](const CallRecord& c) { return find_call(c.in.eax)->gui; }), 0u);
            EXPECT_FALSE(run.gui().info());
            continue;
        }
        ASSERT_TRUE(run.gui().info());
        EXPECT_EQ(run.gui().info()->title + "|" + run.gui().info()->hint, std::string(kTitle) + "|" + kHint);
        EXPECT_FALSE(run.gui().info()->attached);
    }
}

TEST(PaneprobeOpen, CreateFailsThenAttachOpensTheWindowWithTheSameTitleAndHint)
{
    WindowRun run(with_keys({{2, 'q'}}, GuiFailure::create));
    expect_exit(run.run(), 0);
    const auto& calls = run.window_calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(first_calls(run, 3),
        (Calls{{VEKOS_SYS_gui_create, -19}, {VEKOS_SYS_gui_attach, kHandle}, {VEKOS_SYS_gui_poll_event, 0}}));
    // The same title and hint, passed the same way.
    EXPECT_EQ((std::vector<uint32_t>{calls[1].regs.ebx, calls[1].regs.ecx, calls[1].regs.edx}),
        (std::vector<uint32_t>{calls[0].regs.ebx, calls[0].regs.ecx, 0}));
    EXPECT_EQ(calls[1].text + "|" + calls[1].hint, std::string(kTitle) + "|" + kHint);
    ASSERT_TRUE(run.gui().info());
    EXPECT_TRUE(run.gui().info()->attached);
    EXPECT_EQ(run.gui().frames_presented(), 2u);
    EXPECT_EQ(calls[2].regs.ebx, kHandle);
    EXPECT_EQ(run.output(), "");
}

TEST(PaneprobeOpen, BothFailingPrintsTheFailureLineAndEndsWithOneAttachAloneChangesNothing)
{
    WindowRun run(with_keys({{1, 'q'}}, GuiFailure::both));
    expect_exit(run.run(), 1);
    EXPECT_EQ(run.output(), "paneprobe: failed to initialize GUI\n");
    EXPECT_EQ(first_calls(run, 9), (Calls{{VEKOS_SYS_gui_create, -19}, {VEKOS_SYS_gui_attach, -19}}));
    EXPECT_EQ(count_of(run.log(), [](const CallRecord& c) { return c.in.eax == VEKOS_SYS_usleep; }), 0u);
    EXPECT_FALSE(run.gui().info());

    WindowRun attach(with_keys({{1, 'q'}}, GuiFailure::attach));
    expect_exit(attach.run(), 0);
    EXPECT_EQ(count_of(attach.log(), [](const CallRecord& c) { return c.in.eax == VEKOS_SYS_gui_attach; }), 0u);
    EXPECT_EQ(attach.gui().frames_presented(), 1u);
}

TEST(PaneprobeFrame, CallsAndRecordsOfEachFrame)
{
    WindowRun run(with_keys({{3, 'q'}}));
    expect_exit(run.run(), 0);
    const auto& log = run.log();
    // create; frames 1 and 2 with an empty poll; frame 3 finds the q. Every call answers 0 but these.
    std::vector<std::pair<uint32_t, int32_t>> expected = {{VEKOS_SYS_gui_create, 1}};
    for (int frame = 1; frame <= 3; ++frame) {
        if (frame == 3)
            expected.emplace_back(VEKOS_SYS_gui_poll_event, 1);
        for (uint32_t n : {VEKOS_SYS_gui_poll_event, VEKOS_SYS_gui_begin, VEKOS_SYS_gui_clear, VEKOS_SYS_gui_fill_rect,
                 VEKOS_SYS_gui_draw_text, VEKOS_SYS_gui_present, VEKOS_SYS_usleep})
            expected.emplace_back(n, 0);
    }
    expected.emplace_back(VEKOS_SYS_exit, 0);
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i + 1 < expected.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        EXPECT_EQ(log[i].in.eax, expected[i].first);
        EXPECT_EQ(log[i].answer, expected[i].second);
        EXPECT_TRUE(log[i].provided);
        EXPECT_TRUE(log[i].in.eax != VEKOS_SYS_usleep || log[i].in.ebx == 16000u) << log[i].in.ebx;
    }
    EXPECT_EQ(log.back().in.eax, uint32_t(VEKOS_SYS_exit));
    EXPECT_EQ(log.back().in.ebx, 0u);

    int32_t frame_x = 80;
    for (const SeenCall& c : run.window_calls()) {
        const uint32_t n = c.regs.eax;
        SCOPED_TRACE("window call " + std::to_string(n));
        EXPECT_TRUE(n == VEKOS_SYS_gui_create || c.regs.ebx == kHandle) << c.regs.ebx;
        if (n != VEKOS_SYS_gui_begin && n != VEKOS_SYS_gui_present) {
            EXPECT_EQ(c.regs.edx, n == VEKOS_SYS_gui_poll_event ? GUI_EVENT_SIZE : 0u);
        }
        switch (n) {
        case VEKOS_SYS_gui_create: EXPECT_EQ(c.text + "|" + c.hint, std::string(kTitle) + "|" + kHint); break;
        case VEKOS_SYS_gui_clear: EXPECT_EQ(c.record, std::vector<uint32_t>{kBackground}); break;
        case VEKOS_SYS_gui_fill_rect:
            frame_x += 2;
            EXPECT_EQ(c.record, (std::vector<uint32_t>{uint32_t(frame_x), kRectY, kRectW, kRectH, kRectangle}));
            break;
        case VEKOS_SYS_gui_draw_text:
            ASSERT_EQ(c.record.size(), 4u);
            EXPECT_EQ((std::vector<uint32_t>{c.record[0], c.record[1], c.record[2]}),
                (std::vector<uint32_t>{10, 10, kCaption}));
            EXPECT_EQ(c.text, kCaptionText);
            break;
        case VEKOS_SYS_gui_begin:
        case VEKOS_SYS_gui_present:
        case VEKOS_SYS_gui_poll_event: break;
        default: ADD_FAILURE() << "unexpected window call";
        }
    }
    EXPECT_EQ(frame_x, 86);
}

TEST(PaneprobeMotion, RectangleGoesRightTurnsAt422AndLeftTo18)
{
    constexpr uint64_t kFrames = 420;
    WindowRun run(with_keys({{kFrames, 'q'}}));
    expect_exit(run.run(), 0);
    const std::vector<int32_t> xs = run.rectangle_xs();
    ASSERT_EQ(xs.size(), kFrames);
    const size_t at = size_t(std::min_element(xs.begin(), xs.end()) - xs.begin());
    ASSERT_EQ(at, 170u + 202u); // 422 down to 18 in steps of 2
    // Frames 1, 170, 171 (the right end), 172, then the left end and the two after it.
    EXPECT_EQ((std::vector<int32_t>{xs[0], xs[169], xs[170], xs[171], xs[at], xs[at + 1], xs[at + 2]}),
        (std::vector<int32_t>{82, 420, 422, 420, 18, 20, 22}));
    EXPECT_EQ(*std::max_element(xs.begin(), xs.end()), 422);
    for (size_t i = 1; i < xs.size(); ++i)
        EXPECT_EQ(xs[i] - xs[i - 1], i <= 170 || i > at ? 2 : -2) << "frame " << i + 1;
}

TEST(PaneprobeQuit, QuitKeysEndWithZeroAfterFinishingThatFrameOtherKeysDoNot)
{
    constexpr uint64_t kFrame = 5;
    for (int32_t key : std::vector<int32_t>{'q', 'Q', 27}) {
        SCOPED_TRACE(key);
        WindowRun run(with_keys({{kFrame, key}}));
        expect_exit(run.run(), 0);
        EXPECT_EQ(run.gui().frames_presented(), kFrame);
        const auto& log = run.log();
        ASSERT_GE(log.size(), 8u);
        // The key's frame is drawn, presented and slept through, then exit(0).
        const uint32_t tail[] = {VEKOS_SYS_gui_begin, VEKOS_SYS_gui_clear, VEKOS_SYS_gui_fill_rect,
            VEKOS_SYS_gui_draw_text, VEKOS_SYS_gui_present, VEKOS_SYS_usleep, VEKOS_SYS_exit};
        for (size_t i = 0; i < std::size(tail); ++i)
            EXPECT_EQ(log[log.size() - std::size(tail) + i].in.eax, tail[i]) << i;
        EXPECT_EQ(log.back().in.ebx, 0u);
        EXPECT_EQ(log[log.size() - 2].in.ebx, 16000u);
        EXPECT_EQ(delivered_codes(run), std::vector<uint32_t>{uint32_t(key)});
        EXPECT_EQ(run.rectangle_xs().back(), 80 + 2 * int32_t(kFrame));
    }
    for (int32_t key : std::vector<int32_t>{0x3B, 0xD1, 0x151, 'a', 'p', 'r', 26, 0x171}) { // these do not quit
        WindowRun run(with_keys({{3, key}, {8, 'q'}}));
        expect_exit(run.run(), 0);
        EXPECT_EQ(run.gui().frames_presented(), 8u) << key;
        EXPECT_EQ(delivered_codes(run), (std::vector<uint32_t>{uint32_t(key), 'q'}));
    }
}

TEST(PaneprobeQuit, EveryEventOfTheFrameIsDrainedAfterAQuitKey)
{
    WindowRun run(with_keys({{4, 'q'}, {4, 'a'}, {4, 27}, {4, 'b'}, {6, 'z'}}));
    expect_exit(run.run(), 0);
    EXPECT_EQ(run.gui().frames_presented(), 4u);
    std::vector<int32_t> frame4;
    int presents = 0;
    for (const SeenCall& c : run.window_calls()) {
        presents += c.regs.eax == VEKOS_SYS_gui_present;
        if (presents == 3 && c.regs.eax == VEKOS_SYS_gui_poll_event)
            frame4.push_back(*c.answer);
    }
    EXPECT_EQ(frame4, (std::vector<int32_t>{1, 1, 1, 1, 0}));
    EXPECT_EQ(run.gui().events_pending(), 0u);

    WindowRun twice(with_keys({{2, 'Q'}, {2, 'q'}})); // two quit keys in one frame quit once
    expect_exit(twice.run(), 0);
    EXPECT_EQ(twice.gui().frames_presented(), 2u);
}

TEST(PaneprobePixels, FramesShowTheRectangleAndTheCaption)
{
    WindowRun run(with_keys({{172, 'q'}}));
    run.keep_frames({1, 171, 172});
    expect_exit(run.run(), 0);
    // Whole frames against the same drawing done directly (the drawing itself is checked pixel by pixel
    // in test_window_service); frame 171 is the right end of the path.
    for (auto [number, x] : {std::pair<uint64_t, int>{1, 82}, {171, 422}, {172, 420}})
        EXPECT_TRUE(run.frame(number) == paneprobe_frame(x)) << "frame " << number;
    EXPECT_EQ(run.gui().presented(), run.frame(172));
    // Spot checks that need no font: the rectangle's corners and just outside.
    const Framebuffer& f = run.frame(1);
    EXPECT_EQ(f.at(82, 90), kRectangle);
    EXPECT_EQ(f.at(221, 179), kRectangle);
    for (auto [x, y] : {std::pair{81, 90}, {222, 90}, {82, 89}, {82, 180}})
        EXPECT_EQ(f.at(x, y), kBackground) << x << ", " << y;
    int caption = 0;
    for (int y = 10; y < 26; ++y)
        for (int x = 10; x < 30; ++x)
            caption += f.at(x, y) == kCaption;
    EXPECT_GT(caption, 10); // the 'L' and 'e' near (10, 10)
}

} // namespace
} // namespace vekos::test
