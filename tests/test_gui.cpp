// The window-service wrappers, register for register, on the real i386 code.
#include "kernel/calls.h"
#include "harness.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <string_view>

namespace vekos::test {
namespace {

constexpr uint32_t kPresetEcx = preset::ecx;
constexpr uint32_t kPresetEdx = preset::edx;
constexpr int32_t kAnswer = -0x77;

struct Row {
    const char* function;
    std::vector<uint32_t> args;
    uint32_t eax, ebx, ecx, edx;
};

// Arguments are distinct words, so a swapped or dropped register shows.
constexpr uint32_t A = 0x11111111, B = 0x22222222, C = 0x33333333;

const std::vector<Row> kRows = {
    {"gui_create", {A, B}, 8, A, B, 0},
    {"gui_set_title", {A, B}, 9, A, B, 0},
    {"gui_begin", {A}, 10, A, kPresetEcx, kPresetEdx},
    {"gui_clear", {A, B}, 11, A, B, 0},
    {"gui_fill_rect", {A, B}, 12, A, B, 0},
    {"gui_draw_text", {A, B}, 13, A, B, 0},
    {"gui_present", {A}, 14, A, kPresetEcx, kPresetEdx},
    {"gui_poll_event", {A, B}, 15, A, B, 20},
    {"gui_wait_event", {A, B}, 16, A, B, 20},
    {"gui_attach", {A, B}, 17, A, B, 0},
    {"gui_draw_line", {A, B}, 18, A, B, 0},
    {"gui_get_content_size", {A, B}, 19, A, B, 0},
    {"gui_set_font", {A, B}, 20, A, B, 0},
    {"gui_set_continuous_redraw", {A, B}, 23, A, B, 0},
    {"gui_blit_rgb565", {A, B}, 24, A, B, 0},
    {"gui_draw_icon", {A, B}, 105, A, B, 0},
    {"gui_outline_rect", {A, B}, 106, A, B, 0},
    {"gui_draw_char", {A, B}, 107, A, B, 0},
    {"gui_get_font_metrics", {A, B}, 108, A, B, 0},
    {"gui_warp_mouse", {A, B, C}, 111, A, B, C},
    {"gui_set_cursor_visible", {A, 5}, 112, A, 5, 0},
    {"gui_set_cursor_visible", {A, 0xFFFFFFFF}, 112, A, 0xFFFFFFFF, 0},
    {"gui_load_font", {A, B}, 137, A, B, 0},
    {"gui_draw_text_font", {A, B}, 138, A, B, 0},
    {"gui_draw_char_font", {A, B}, 139, A, B, 0},
};

class GuiWrapperTest : public GuestTest {};

TEST_F(GuiWrapperTest, EachWrapperIsOneTrapWithExactlyItsRegisters)
{
    for (const Row& row : kRows) {
        guest().reset();
        guest().inject(std::to_string(row.eax) + "=" + std::to_string(kAnswer));
        guest().preset_registers();
        CallResult r = guest().call(row.function, row.args);
        ASSERT_TRUE(r.returned()) << row.function;
        EXPECT_EQ(r.value(), kAnswer) << row.function << ": the kernel's answer comes back unchanged";
        ASSERT_EQ(guest().calls().size(), 1u) << row.function;
        const CallRegs& in = guest().calls()[0].in;
        EXPECT_EQ(in.eax, row.eax) << row.function;
        EXPECT_EQ(in.ebx, row.ebx) << row.function;
        EXPECT_EQ(in.ecx, row.ecx) << row.function;
        EXPECT_EQ(in.edx, row.edx) << row.function;
        EXPECT_TRUE(guest().callee_saved_kept()) << row.function;
    }
}

TEST_F(GuiWrapperTest, EveryCallOfTheSharedListHasAWrapperRow)
{
    // The list of call numbers is the one the stand-in dispatches on; a GUI
    // call added there without a wrapper (or a test row) fails here.
#define VEKOS_GUI_ROW_CHECK(name, number, ...)                                                            \
    EXPECT_TRUE(std::any_of(kRows.begin(), kRows.end(),                                              \
                            [](const Row& r) { return std::string_view(r.function) == #name && r.eax == number; })) \
        << #name;
    VEKOS_GUI_CALLS(VEKOS_GUI_ROW_CHECK)
#undef VEKOS_GUI_ROW_CHECK
}

TEST_F(GuiWrapperTest, WrappersDoNotTouchTheirRecords)
{
    uint32_t rect = guest().alloc(20, 0x5A);
    uint32_t event = guest().alloc(20, 0xA5);
    guest().inject("gui_fill_rect=0");
    guest().inject("gui_poll_event=0");
    guest()("gui_fill_rect", 3, rect);
    guest()("gui_poll_event", 3, event);
    EXPECT_EQ(guest().read(rect, 20), std::vector<uint8_t>(20, 0x5A));
    EXPECT_EQ(guest().read(event, 20), std::vector<uint8_t>(20, 0xA5));
}

TEST_F(GuiWrapperTest, WithoutAWindowServiceTheCallsAnswerNotImplemented)
{
    uint32_t title = guest().put_string("t");
    EXPECT_EQ(guest()("gui_create", title, title).value(), -38);
    EXPECT_EQ(guest()("gui_warp_mouse", 1, 2, 3).value(), -38);
    ASSERT_EQ(guest().calls().size(), 2u);
    EXPECT_FALSE(guest().calls()[0].provided);
}

} // namespace
} // namespace vekos::test
