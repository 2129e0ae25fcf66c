// The window-service wrappers, register for register, on the real i386 code.
#include "harness.h"
#include "kernel/calls.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <string_view>

namespace vekos::test {
namespace {

class GuiWrapperTest : public GuestTest { };

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
