// paneprobe end to end: the real i386 command on the stand-in with the window
// service, headless, keys scripted by frame.
#include "calls.h"
#include "font.h"
#include "window_harness.h"

#include <algorithm>

namespace vekos::test {
namespace {

constexpr uint32_t kHandle = 1;
constexpr const char* kTitle = "Legacy Window Test";
constexpr const char* kHint = "q/esc quits";
constexpr const char* kFailureLine = "paneprobe: failed to initialize GUI\n";
constexpr int kRectY = 90, kRectW = 140, kRectH = 90;

GuiOptions with_keys(std::vector<ScriptedKey> keys, GuiFailure fail = GuiFailure::none)
{
    GuiOptions options;
    options.keys = std::move(keys);
    options.fail = fail;
    return options;
}

size_t gui_calls(const std::vector<CallRecord>& log)
{
    return size_t(std::count_if(log.begin(), log.end(), [](const CallRecord& c) { return is_gui_call(c.in.eax); }));
}

size_t count_of(const std::vector<CallRecord>& log, uint32_t number)
{
    return size_t(std::count_if(log.begin(), log.end(), [&](const CallRecord& c) { return c.in.eax == number; }));
}

void expect_exit(const Stop& stop, int32_t status)
{
    ASSERT_EQ(stop.why, Stop::Why::Exited) << (stop.fault ? stop.fault->message() : "");
    EXPECT_EQ(stop.exit_status, status);
}

// ---- Arguments --------------------------------------------------------------

struct HelpCase {
    std::vector<std::string> argv;
};

void PrintTo(const HelpCase& c, std::ostream* out)
{
    for (const std::string& a : c.argv)
        *out << a << ' ';
}

class HelpTest : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpTest, PrintsUsageAndOpensNoWindow)
{
    WindowRun run(with_keys({{1, 'q'}}));
    expect_exit(run.run(GetParam().argv), 0);
    EXPECT_EQ(run.output(), "Usage: paneprobe\n");
    EXPECT_EQ(gui_calls(run.log()), 0u);
    EXPECT_FALSE(run.gui().window());
    EXPECT_EQ(run.gui().frames_presented(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Paneprobe, HelpTest,
                         ::testing::Values(HelpCase{{"paneprobe", "-h"}}, HelpCase{{"paneprobe", "-h", "extra"}},
                                           HelpCase{{"paneprobe", "-h", "-h"}}));

class WindowArgumentTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(WindowArgumentTest, OtherFirstArgumentsOpenTheWindow)
{
    WindowRun run(with_keys({{2, 'q'}}));
    expect_exit(run.run(GetParam()), 0);
    EXPECT_EQ(run.output(), "");
    ASSERT_TRUE(run.gui().window());
    EXPECT_EQ(run.gui().window()->title, kTitle);
    EXPECT_EQ(run.gui().window()->hint, kHint);
    EXPECT_FALSE(run.gui().window()->attached);
    EXPECT_EQ(run.gui().frames_presented(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Paneprobe, WindowArgumentTest,
                         ::testing::Values(std::vector<std::string>{"paneprobe"},
                                           std::vector<std::string>{"paneprobe", "x", "-h"},
                                           std::vector<std::string>{"paneprobe", "--help"},
                                           std::vector<std::string>{"paneprobe", "-H"},
                                           std::vector<std::string>{"paneprobe", "-hh"},
                                           std::vector<std::string>{"paneprobe", ""}));

// ---- Opening the window -------------------------------------------------------

TEST(PaneprobeOpen, CreateFailsThenAttachOpensTheWindow)
{
    WindowRun run(with_keys({{2, 'q'}}, GuiFailure::create));
    expect_exit(run.run(), 0);
    const auto& calls = run.window_calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0].regs.eax, uint32_t(VEKOS_SYS_gui_create));
    EXPECT_EQ(calls[0].answer, -19);
    EXPECT_EQ(calls[1].regs.eax, uint32_t(VEKOS_SYS_gui_attach));
    EXPECT_EQ(calls[1].answer, int32_t(kHandle));
    // The same title and hint, passed the same way.
    EXPECT_EQ(calls[1].regs.ebx, calls[0].regs.ebx);
    EXPECT_EQ(calls[1].regs.ecx, calls[0].regs.ecx);
    EXPECT_EQ(calls[1].regs.edx, 0u);
    EXPECT_EQ(calls[1].text, kTitle);
    EXPECT_EQ(calls[1].hint, kHint);
    ASSERT_TRUE(run.gui().window());
    EXPECT_TRUE(run.gui().window()->attached);
    EXPECT_EQ(run.gui().frames_presented(), 2u);
    EXPECT_EQ(calls[2].regs.eax, uint32_t(VEKOS_SYS_gui_poll_event));
    EXPECT_EQ(calls[2].regs.ebx, kHandle);
    EXPECT_EQ(run.output(), "");
}

TEST(PaneprobeOpen, WhenCreateAndAttachFailItSaysSoAndEndsWithOne)
{
    WindowRun run(with_keys({{1, 'q'}}, GuiFailure::both));
    expect_exit(run.run(), 1);
    EXPECT_EQ(run.output(), kFailureLine);
    const auto& calls = run.window_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].regs.eax, uint32_t(VEKOS_SYS_gui_create));
    EXPECT_EQ(calls[0].answer, -19);
    EXPECT_EQ(calls[1].regs.eax, uint32_t(VEKOS_SYS_gui_attach));
    EXPECT_EQ(calls[1].answer, -19);
    EXPECT_EQ(count_of(run.log(), VEKOS_SYS_usleep), 0u);
    EXPECT_FALSE(run.gui().window());
}

TEST(PaneprobeOpen, AttachFailingAloneChangesNothing)
{
    WindowRun run(with_keys({{1, 'q'}}, GuiFailure::attach));
    expect_exit(run.run(), 0);
    EXPECT_EQ(count_of(run.log(), VEKOS_SYS_gui_attach), 0u);
    EXPECT_EQ(run.gui().frames_presented(), 1u);
}

// ---- One frame, call by call ---------------------------------------------------

struct Expected {
    uint32_t number;
    int32_t answer;
};

TEST(PaneprobeFrame, CallsAndRecordsOfEachFrame)
{
    WindowRun run(with_keys({{3, 'q'}}));
    expect_exit(run.run(), 0);
    const auto& log = run.log();
    // create; frames 1 and 2 with an empty poll; frame 3 finds the q.
    std::vector<Expected> expected = {{VEKOS_SYS_gui_create, 1}};
    const std::vector<Expected> draw = {{VEKOS_SYS_gui_begin, 0},     {VEKOS_SYS_gui_clear, 0},
                                        {VEKOS_SYS_gui_fill_rect, 0}, {VEKOS_SYS_gui_draw_text, 0},
                                        {VEKOS_SYS_gui_present, 0},   {VEKOS_SYS_usleep, 0}};
    for (int frame = 1; frame <= 3; ++frame) {
        if (frame == 3)
            expected.push_back({VEKOS_SYS_gui_poll_event, 1});
        expected.push_back({VEKOS_SYS_gui_poll_event, 0});
        expected.insert(expected.end(), draw.begin(), draw.end());
    }
    ASSERT_EQ(log.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        EXPECT_EQ(log[i].in.eax, expected[i].number);
        EXPECT_EQ(log[i].answer, expected[i].answer);
        EXPECT_TRUE(log[i].implemented);
    }
    EXPECT_EQ(log.back().in.eax, uint32_t(VEKOS_SYS_exit));
    EXPECT_EQ(log.back().in.ebx, 0u);

    // Registers and records.
    const auto& calls = run.window_calls();
    int32_t frame_x = 80;
    for (const SeenCall& c : calls) {
        switch (c.regs.eax) {
        case VEKOS_SYS_gui_create:
            EXPECT_EQ(c.text, kTitle);
            EXPECT_EQ(c.hint, kHint);
            EXPECT_EQ(c.regs.edx, 0u);
            break;
        case VEKOS_SYS_gui_poll_event:
            EXPECT_EQ(c.regs.ebx, kHandle);
            EXPECT_EQ(c.regs.edx, kGuiEventSize);
            break;
        case VEKOS_SYS_gui_begin:
        case VEKOS_SYS_gui_present:
            EXPECT_EQ(c.regs.ebx, kHandle);
            break;
        case VEKOS_SYS_gui_clear:
            EXPECT_EQ(c.regs.ebx, kHandle);
            EXPECT_EQ(c.regs.edx, 0u);
            EXPECT_EQ(c.record, std::vector<uint32_t>{kBackground});
            break;
        case VEKOS_SYS_gui_fill_rect:
            frame_x += 2;
            EXPECT_EQ(c.regs.ebx, kHandle);
            EXPECT_EQ(c.regs.edx, 0u);
            EXPECT_EQ(c.record, (std::vector<uint32_t>{uint32_t(frame_x), uint32_t(kRectY), uint32_t(kRectW),
                                                       uint32_t(kRectH), kRectangle}));
            break;
        case VEKOS_SYS_gui_draw_text:
            EXPECT_EQ(c.regs.ebx, kHandle);
            EXPECT_EQ(c.regs.edx, 0u);
            ASSERT_EQ(c.record.size(), 4u);
            EXPECT_EQ(c.record[0], 10u);
            EXPECT_EQ(c.record[1], 10u);
            EXPECT_EQ(c.record[2], kCaption);
            EXPECT_EQ(c.text, kCaptionText);
            break;
        default:
            ADD_FAILURE() << "unexpected window call " << c.regs.eax;
        }
    }
    EXPECT_EQ(frame_x, 86);
    for (const CallRecord& c : log) {
        if (c.in.eax == VEKOS_SYS_usleep) {
            EXPECT_EQ(c.in.ebx, 16000u);
        }
    }
}

// ---- The rectangle's path ---------------------------------------------------------

TEST(PaneprobeMotion, RectangleGoesRightTurnsAt422AndLeftTo18)
{
    constexpr uint64_t kFrames = 420;
    WindowRun run(with_keys({{kFrames, 'q'}}));
    expect_exit(run.run(), 0);
    const std::vector<int32_t> xs = run.rectangle_xs();
    ASSERT_EQ(xs.size(), kFrames);
    EXPECT_EQ(xs[0], 82);     // frame 1
    EXPECT_EQ(xs[169], 420);  // frame 170
    EXPECT_EQ(xs[170], 422);  // frame 171: the right end
    EXPECT_EQ(xs[171], 420);  // frame 172
    EXPECT_EQ(*std::max_element(xs.begin(), xs.end()), 422);
    const auto lowest = std::min_element(xs.begin(), xs.end());
    EXPECT_EQ(*lowest, 18);
    const size_t at = size_t(lowest - xs.begin());
    EXPECT_EQ(at, 170u + 202u);  // 422 down to 18 in steps of 2
    ASSERT_LT(at + 2, xs.size());
    EXPECT_EQ(xs[at + 1], 20);
    EXPECT_EQ(xs[at + 2], 22);
    for (size_t i = 1; i < xs.size(); ++i) {
        const bool rising = i <= 170 || i > at;
        EXPECT_EQ(xs[i] - xs[i - 1], rising ? 2 : -2) << "frame " << i + 1;
    }
}

// ---- Quitting ------------------------------------------------------------------------

class QuitKeyTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(QuitKeyTest, EndsWithZeroAfterFinishingThatFrame)
{
    constexpr uint64_t kFrame = 5;
    WindowRun run(with_keys({{kFrame, GetParam()}}));
    expect_exit(run.run(), 0);
    EXPECT_EQ(run.gui().frames_presented(), kFrame);
    const auto& log = run.log();
    ASSERT_GE(log.size(), 8u);
    // The key's frame is drawn, presented and slept through, then exit(0).
    const uint32_t tail[] = {VEKOS_SYS_gui_begin,     VEKOS_SYS_gui_clear,   VEKOS_SYS_gui_fill_rect,
                             VEKOS_SYS_gui_draw_text, VEKOS_SYS_gui_present, VEKOS_SYS_usleep,
                             VEKOS_SYS_exit};
    for (size_t i = 0; i < std::size(tail); ++i)
        EXPECT_EQ(log[log.size() - std::size(tail) + i].in.eax, tail[i]) << i;
    EXPECT_EQ(log.back().in.ebx, 0u);
    EXPECT_EQ(log[log.size() - 2].in.ebx, 16000u);
    // The one event reached the command as a key with that code.
    const auto& calls = run.window_calls();
    auto delivered = std::find_if(calls.begin(), calls.end(), [](const SeenCall& c) {
        return c.regs.eax == VEKOS_SYS_gui_poll_event && c.answer == 1;
    });
    ASSERT_NE(delivered, calls.end());
    EXPECT_EQ(delivered->record, (std::vector<uint32_t>{1, uint32_t(GetParam()), 0, 0, 0}));
    EXPECT_EQ(run.rectangle_xs().back(), 80 + 2 * int32_t(kFrame));
}

INSTANTIATE_TEST_SUITE_P(Paneprobe, QuitKeyTest, ::testing::Values('q', 'Q', 27));

class OtherKeyTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(OtherKeyTest, DoesNotQuit)
{
    WindowRun run(with_keys({{3, GetParam()}, {8, 'q'}}));
    expect_exit(run.run(), 0);
    EXPECT_EQ(run.gui().frames_presented(), 8u);
    std::vector<uint32_t> codes;
    for (const SeenCall& c : run.window_calls())
        if (c.regs.eax == VEKOS_SYS_gui_poll_event && c.answer == 1)
            codes.push_back(c.record.at(1));
    EXPECT_EQ(codes, (std::vector<uint32_t>{uint32_t(GetParam()), 'q'}));
}

INSTANTIATE_TEST_SUITE_P(Paneprobe, OtherKeyTest, ::testing::Values(0x3B, 0xD1, 0x151, 'a', 'p', 'r', 26, 0x171));

TEST(PaneprobeQuit, EveryEventOfTheFrameIsDrainedAfterAQuitKey)
{
    WindowRun run(with_keys({{4, 'q'}, {4, 'a'}, {4, 27}, {4, 'b'}, {6, 'z'}}));
    expect_exit(run.run(), 0);
    EXPECT_EQ(run.gui().frames_presented(), 4u);
    std::vector<int32_t> frame4;
    const auto& calls = run.window_calls();
    int presents = 0;
    for (const SeenCall& c : calls) {
        if (c.regs.eax == VEKOS_SYS_gui_present)
            ++presents;
        if (presents == 3 && c.regs.eax == VEKOS_SYS_gui_poll_event)
            frame4.push_back(*c.answer);
    }
    EXPECT_EQ(frame4, (std::vector<int32_t>{1, 1, 1, 1, 0}));
    EXPECT_EQ(run.gui().events_pending(), 0u);
}

TEST(PaneprobeQuit, TwoQuitKeysInOneFrameQuitOnce)
{
    WindowRun run(with_keys({{2, 'Q'}, {2, 'q'}}));
    expect_exit(run.run(), 0);
    EXPECT_EQ(run.gui().frames_presented(), 2u);
}

// ---- What a frame looks like --------------------------------------------------------

void expect_frame(const Framebuffer& f, int rect_x)
{
    const Font& font = console_font();
    const std::string caption = kCaptionText;
    const int text_w = int(caption.size()) * font.width();
    int caption_pixels = 0, mismatches = 0;
    for (int y = 0; y < f.height(); ++y)
        for (int x = 0; x < f.width(); ++x) {
            uint32_t want = kBackground;
            if (x >= rect_x && x < rect_x + kRectW && y >= kRectY && y < kRectY + kRectH)
                want = kRectangle;
            if (x >= 10 && x < 10 + text_w && y >= 10 && y < 10 + font.height()) {
                const int cell = (x - 10) / font.width();
                if (font.pixel(uint8_t(caption[size_t(cell)]), (x - 10) % font.width(), y - 10)) {
                    want = kCaption;
                    ++caption_pixels;
                }
            }
            if (f.at(x, y) != want && ++mismatches <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << f.at(x, y) << ", not "
                              << want;
        }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(caption_pixels, 100);
}

TEST(PaneprobePixels, FramesShowTheRectangleAndTheCaption)
{
    WindowRun run(with_keys({{172, 'q'}}));
    run.keep_frames({1, 171, 172});
    expect_exit(run.run(), 0);
    expect_frame(run.frame(1), 82);
    expect_frame(run.frame(171), 422);
    expect_frame(run.frame(172), 420);
    EXPECT_EQ(run.gui().presented(), run.frame(172));
    // Spot checks that need no font: the rectangle's corners and just outside.
    const Framebuffer& f = run.frame(1);
    EXPECT_EQ(f.at(82, 90), kRectangle);
    EXPECT_EQ(f.at(221, 179), kRectangle);
    EXPECT_EQ(f.at(81, 90), kBackground);
    EXPECT_EQ(f.at(222, 90), kBackground);
    EXPECT_EQ(f.at(82, 89), kBackground);
    EXPECT_EQ(f.at(82, 180), kBackground);
    int caption = 0;
    for (int y = 10; y < 26; ++y)
        for (int x = 10; x < 30; ++x)
            caption += f.at(x, y) == kCaption;
    EXPECT_GT(caption, 10);  // the 'L' and 'e' near (10, 10)
}

} // namespace
} // namespace vekos::test
