// The window service call by call: records read through the checked guest
// memory, answers, clipping, text, events and scripted keys.
#include "base/errors.h"
#include "cli/options.h"
#include "cpu/guest_memory.h"
#include "kernel/calls.h"
#include "kernel/console.h"
#include "kernel/kernel.h"
#include "kernel/trace.h"
#include "window/font.h"
#include "window/framebuffer.h"
#include "window/window.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kData = 0x10000, kDataSize = 0x20000; // read-write
constexpr uint32_t kBss = kData + kDataSize;             // read-write, right after data
constexpr uint32_t kRodata = 0x40000;                    // read-only
constexpr uint32_t kWriteOnly = 0x50000;                 // writable, not readable
constexpr uint32_t kUnmapped = 0x90000;
constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kEvent = kData + 0x300;

class FakeFrontEnd final : public Viewer {
public:
    void window_opened(std::string_view title, std::string_view hint, int width, int height) override
    {
        opened.push_back(
            std::string(title) + "|" + std::string(hint) + "|" + std::to_string(width) + "x" + std::to_string(height));
    }
    void frame_presented(const Framebuffer& frame, uint64_t number) override
    {
        numbers.push_back(number);
        last_pixel = frame.at(0, 0);
    }
    void take_keys(std::vector<int32_t>& codes) override
    {
        codes.insert(codes.end(), typed.begin(), typed.end());
        typed.clear();
    }
    bool wait_keys(std::vector<int32_t>& codes) override
    {
        ++waits;
        codes.insert(codes.end(), waited.begin(), waited.end());
        return !std::exchange(waited, {}).empty();
    }
    std::vector<std::string> opened;
    std::vector<uint64_t> numbers;
    uint32_t last_pixel = 0;
    std::vector<int32_t> typed, waited;
    int waits = 0;
};

class WindowServiceTest : public ::testing::Test {
protected:
    WindowServiceTest()
    {
        kernel_.set_window(&gui_);
        memory_.add_region(kData, kDataSize, kRead | kWrite, "data");
        memory_.add_region(kBss, kPage, kRead | kWrite, "bss");
        memory_.add_region(kRodata, kPage, kRead, "rodata");
        memory_.add_region(kWriteOnly, kPage, kWrite, "write-only");
    }
    int32_t call(uint32_t number, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0)
    {
        return kernel_.handle(memory_, CallRegs{number, ebx, ecx, edx}).answer;
    }
    uint32_t put_bytes(uint32_t at, const void* data, size_t size)
    {
        EXPECT_TRUE(memory_.poke(at, std::span(static_cast<const uint8_t*>(data), size)));
        return at;
    }
    uint32_t put_words(uint32_t at, std::vector<uint32_t> w) { return put_bytes(at, w.data(), w.size() * 4); }
    uint32_t put_string(uint32_t at, std::string_view s) { return put_bytes(at, std::string(s).c_str(), s.size() + 1); }
    std::vector<uint32_t> words_at(uint32_t at, size_t count)
    {
        std::vector<uint8_t> bytes(count * 4);
        EXPECT_TRUE(memory_.peek(at, bytes));
        std::vector<uint32_t> words(count);
        std::memcpy(words.data(), bytes.data(), bytes.size());
        return words;
    }
    int32_t open()
    {
        return call(VEKOS_SYS_gui_create, put_string(kData + 0x100, "Title"), put_string(kData + 0x180, "Hint"));
    }
    int32_t fill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color)
    {
        return call(VEKOS_SYS_gui_fill_rect, 1,
            put_words(kData + 0x200, {uint32_t(x), uint32_t(y), uint32_t(w), uint32_t(h), color}));
    }
    int32_t clear(uint32_t color) { return call(VEKOS_SYS_gui_clear, 1, put_words(kData + 0x240, {color})); }
    int32_t text(int32_t x, int32_t y, uint32_t color, std::string_view s)
    {
        const uint32_t str = put_string(kData + 0x1000, s);
        return call(VEKOS_SYS_gui_draw_text, 1, put_words(kData + 0x280, {uint32_t(x), uint32_t(y), color, str}));
    }
    int32_t poll(uint32_t at = kEvent, uint32_t size = GUI_EVENT_SIZE)
    {
        return call(VEKOS_SYS_gui_poll_event, 1, at, size);
    }
    int32_t wait(uint32_t record = kEvent) { return call(VEKOS_SYS_gui_wait_event, 1, record, GUI_EVENT_SIZE); }
    int32_t present() { return call(VEKOS_SYS_gui_present, 1); }
    // The code of the next event, or -1 when none is pending.
    int64_t next_key() { return poll() == 1 ? int64_t(words_at(kEvent, 2)[1]) : -1; }

    GuestMemory memory_;
    FakeFrontEnd front_;
    Window gui_{WindowOptions{}, &front_};
    CapturedConsole console_;
    Kernel kernel_{KernelOptions{}, console_};
};

TEST_F(WindowServiceTest, CreateKeepsTitleAndHintASecondIsBusyAttachAnswersTheOpenWindowOrOpensOne)
{
    EXPECT_EQ(open(), 1);
    ASSERT_TRUE(gui_.info());
    EXPECT_EQ(gui_.info()->title + "|" + gui_.info()->hint, "Title|Hint");
    EXPECT_FALSE(gui_.info()->attached);
    EXPECT_EQ((std::pair{gui_.canvas().width(), gui_.canvas().height()}), (std::pair{640, 480}));
    EXPECT_EQ(open(), -16);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, put_string(kData, "Other"), 0), 1);
    EXPECT_EQ(gui_.info()->title, "Title");
    EXPECT_EQ(front_.opened, std::vector<std::string>{"Title|Hint|640x480"});
    gui_.reset(); // with no window open, attach opens one
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, put_string(kData, "A"), put_string(kData + 8, "B"), 0), 1);
    ASSERT_TRUE(gui_.info());
    EXPECT_TRUE(gui_.info()->attached);
    EXPECT_EQ(gui_.info()->title + "|" + gui_.info()->hint, "A|B");
}

TEST_F(WindowServiceTest, TitleAndHintNullAreEmptyUnreadableAreABadAddressPast65535BytesInvalid)
{
    EXPECT_EQ(call(VEKOS_SYS_gui_create, kUnmapped, 0, 0), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_create, put_string(kData, "T"), kUnmapped, 0), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, kWriteOnly, 0, 0), -14);
    memory_.poke(kRodata + kPage - 16, std::vector<uint8_t>(16, 'x')); // no NUL before the region ends
    EXPECT_EQ(call(VEKOS_SYS_gui_create, kRodata + kPage - 16, 0, 0), -14);
    EXPECT_FALSE(gui_.info());
    EXPECT_TRUE(front_.opened.empty());
    EXPECT_EQ(call(VEKOS_SYS_gui_create, put_string(kData, std::string(65536, 'a')), 0, 0), -22); // too long
    EXPECT_FALSE(gui_.info());
    EXPECT_EQ(call(VEKOS_SYS_gui_create, 0, 0, 0), 1);
    EXPECT_EQ(gui_.info()->title + "|" + gui_.info()->hint, "|");
    gui_.reset();
    EXPECT_EQ(call(VEKOS_SYS_gui_create, put_string(kData, std::string(65535, 'b')), 0, 0), 1);
    EXPECT_EQ(gui_.info()->title.size(), 65535u);
}

TEST(WindowServiceFailure, EachFailureRefusesOnlyItsCalls)
{
    GuestMemory memory;
    CapturedConsole console;
    using Seq = std::vector<std::pair<uint32_t, int32_t>>; // call, answer
    const std::vector<std::pair<GuiFailure, Seq>> rows
        = {{GuiFailure::create, {{VEKOS_SYS_gui_create, -19}, {VEKOS_SYS_gui_attach, 1}}},
            {GuiFailure::attach, {{VEKOS_SYS_gui_attach, -19}, {VEKOS_SYS_gui_create, 1}, {VEKOS_SYS_gui_attach, -19}}},
            {GuiFailure::both, {{VEKOS_SYS_gui_create, -19}, {VEKOS_SYS_gui_attach, -19}}}};
    for (const auto& [failure, seq] : rows) {
        Window gui(WindowOptions{kWindowWidth, kWindowHeight, failure, {}});
        Kernel kernel({}, console);
        kernel.set_window(&gui);
        for (size_t i = 0; i < seq.size(); ++i) {
            EXPECT_EQ(kernel.handle(memory, CallRegs{seq[i].first, 0, 0, 0}).answer, seq[i].second)
                << int(failure) << " " << i;
            EXPECT_TRUE(i > 0 || !gui.info());
        }
        EXPECT_EQ(bool(gui.info()), failure != GuiFailure::both);
    }
}

TEST_F(WindowServiceTest, FrameCallsNeedTheWindowsHandle)
{
    const uint32_t rec = put_words(kData, {0, 0, 10, 10, 0xFFFFFF});
    const uint32_t frame_calls[] = {VEKOS_SYS_gui_begin, VEKOS_SYS_gui_clear, VEKOS_SYS_gui_fill_rect,
        VEKOS_SYS_gui_draw_text, VEKOS_SYS_gui_present, VEKOS_SYS_gui_poll_event, VEKOS_SYS_gui_wait_event};
    for (uint32_t n : frame_calls)
        EXPECT_EQ(call(n, 1, rec, 20), -9) << "before any window, call " << n;
    ASSERT_EQ(open(), 1);
    for (uint32_t handle : {0u, 2u, 0xFFFFFFFFu})
        for (uint32_t n : frame_calls)
            EXPECT_EQ(call(n, handle, rec, 20), -9) << "handle " << handle << ", call " << n;
    EXPECT_EQ(gui_.frames_presented(), 0u);
    EXPECT_EQ(gui_.canvas().at(0, 0), 0u);
    EXPECT_EQ(call(VEKOS_SYS_gui_begin, 1), 0);
}

TEST(WindowServiceKernel, OtherWindowCallsAnswer38AndTraceTheirRawArguments)
{
    GuestMemory memory;
    memory.add_region(kData, kDataSize, kRead | kWrite, "data");
    CapturedConsole console;
    KernelOptions options;
    options.fast_clock = true;
    options.keep_log = true;
    std::vector<std::string> trace;
    options.observer = [&](const GuestMemory& m, const CallRecord& c) { trace.push_back(format_call(m, c)); };
    Kernel kernel(options, console);
    Window gui;
    kernel.set_window(&gui);

    EXPECT_EQ(kernel.handle(memory, CallRegs{VEKOS_SYS_gui_create, 0, 0, 0}).answer, 1);
    const std::map<uint32_t, std::string> others = {{9, "gui_set_title"}, {18, "gui_draw_line"},
        {19, "gui_get_content_size"}, {20, "gui_set_font"}, {23, "gui_set_continuous_redraw"}, {24, "gui_blit_rgb565"},
        {105, "gui_draw_icon"}, {106, "gui_outline_rect"}, {107, "gui_draw_char"}, {108, "gui_get_font_metrics"},
        {111, "gui_warp_mouse"}, {112, "gui_set_cursor_visible"}, {137, "gui_load_font"}, {138, "gui_draw_text_font"},
        {139, "gui_draw_char_font"}};
    for (const auto& [number, name] : others) {
        trace.clear();
        EXPECT_EQ(kernel.handle(memory, CallRegs{number, 1, 0x11223344, 0xFFFFFFF0}).answer, -38) << name;
        EXPECT_FALSE(kernel.log().back().provided);
        ASSERT_EQ(trace.size(), 1u);
        EXPECT_EQ(trace[0], name + "(0x00000001, 0x11223344, 0xfffffff0) = -38 (not implemented)");
    }
    kernel.set_window(nullptr); // without a window service even the implemented ones answer -38
    EXPECT_EQ(kernel.handle(memory, CallRegs{VEKOS_SYS_gui_begin, 1, 0, 0}).answer, -38);
}

// Every pixel of `f` against `want(x, y)`; the first few that differ are named.
void expect_pixels(const Framebuffer& f, const std::function<uint32_t(int, int)>& want)
{
    int wrong = 0;
    for (int y = 0; y < f.height(); ++y)
        for (int x = 0; x < f.width(); ++x)
            if (f.at(x, y) != want(x, y) && ++wrong <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << f.at(x, y) << ", not "
                              << want(x, y);
    EXPECT_EQ(wrong, 0);
}

struct Rect {
    int64_t x, y, w, h;
};

// Per pixel, in 64 bits: what clipped rectangle fills must leave.
void expect_rects(const Framebuffer& f, uint32_t background, const std::vector<std::pair<Rect, uint32_t>>& rects)
{
    expect_pixels(f, [&](int x, int y) {
        uint32_t want = background;
        for (const auto& [r, color] : rects)
            if (r.w > 0 && r.h > 0 && x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h)
                want = color & 0xFFFFFF;
        return want;
    });
}

TEST_F(WindowServiceTest, ClearFillsAllFillIsClippedToTheWindow)
{
    const Rect cases[] = {{-10, -10, 30, 30}, {630, 470, 30, 30}, {600, -5, 100, 10}, {-5, 200, 700, 3},
        {-50, 100, 40, 10}, {-50, 100, 50, 10}, {640, 0, 5, 5}, {0, 480, 5, 5}, {0, -5, 5, 5}, {10, 10, -5, 20},
        {10, 10, 20, -5}, {10, 10, 0, 5}, {10, 10, INT32_MIN, INT32_MIN}, {INT32_MAX, 0, 10, 10},
        {0, INT32_MAX, 10, INT32_MAX}, {INT32_MIN, 0, INT32_MAX, 10}, {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX},
        {-5, -5, INT32_MAX, INT32_MAX}, {100, 100, INT32_MAX, INT32_MAX}, {0, 0, 640, 480}, {639, 479, 1, 1},
        {639, 479, 2, 2}, {INT32_MIN + 1, INT32_MIN + 1, -1, -1}, {82, 90, 140, 90}};
    ASSERT_EQ(open(), 1);
    for (const Rect& c : cases) {
        SCOPED_TRACE("x " + std::to_string(c.x) + " y " + std::to_string(c.y) + " w " + std::to_string(c.w) + " h "
            + std::to_string(c.h));
        ASSERT_EQ(clear(0xFF000010), 0); // the top byte of a colour is ignored
        EXPECT_EQ(fill(int32_t(c.x), int32_t(c.y), int32_t(c.w), int32_t(c.h), 0xFFFFB482), 0);
        expect_rects(gui_.canvas(), 0x000010, {{c, 0xFFB482}});
    }
}

TEST_F(WindowServiceTest, RecordsAreReadThroughCheckedMemory)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x222222), 0);
    const Framebuffer before = gui_.canvas();
    // Unmapped, write-only, the very top of the address space, half past a region's end.
    for (uint32_t addr : {0u, kUnmapped, kWriteOnly, 0xFFFFFFF0u, kRodata + kPage - 8}) {
        EXPECT_EQ(call(VEKOS_SYS_gui_clear, 1, addr, 0), addr == kRodata + kPage - 8 ? 0 : -14) << addr;
        EXPECT_EQ(call(VEKOS_SYS_gui_fill_rect, 1, addr, 0), -14) << addr;
        EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, addr, 0), -14) << addr;
    }
    put_words(kBss + kPage - 4, {0x333333});
    EXPECT_EQ(call(VEKOS_SYS_gui_fill_rect, 1, kBss + kPage - 16, 0), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, kBss + kPage - 12, 0), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, put_words(kData, {0, 0, 0xFFFFFF, kUnmapped})), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, put_words(kData, {0, 0, 0xFFFFFF, 0})), -14);
    put_string(kData + 0x100, std::string(70000, 'x'));
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, put_words(kData, {0, 0, 0xFFFFFF, kData + 0x100})), -22);
    EXPECT_EQ(gui_.canvas().at(5, 5), 0u); // the one readable clear: rodata's last word, zero
    // Read-only records are fine, and so is one across two adjacent regions.
    put_words(kRodata, {1, 2, 3, 4, 0x010203});
    EXPECT_EQ(call(VEKOS_SYS_gui_fill_rect, 1, kRodata, 0), 0);
    put_words(kBss - 8, {5, 6, 7, 8, 0x00ABCDEF}); // x, y in data; w, h, colour in bss
    EXPECT_EQ(call(VEKOS_SYS_gui_fill_rect, 1, kBss - 8, 0), 0);
    expect_rects(gui_.canvas(), 0, {{{1, 2, 3, 4}, 0x010203}, {{5, 6, 7, 8}, 0xABCDEF}});
    ASSERT_EQ(clear(0x222222), 0);
    EXPECT_EQ(gui_.canvas(), before);
}

// Per pixel from the font: what text must leave.
void expect_text(const Framebuffer& f, uint32_t background, int64_t x, int64_t y, uint32_t color, std::string_view text)
{
    const Font& font = console_font();
    std::set<std::pair<int64_t, int64_t>> set;
    int64_t cx = x, cy = y;
    for (char ch : text) {
        if (ch == '\n') {
            cx = x;
            cy += font.height();
            continue;
        }
        for (int gy = 0; gy < font.height(); ++gy)
            for (int gx = 0; gx < font.width(); ++gx)
                if (font.pixel(uint8_t(ch), gx, gy))
                    set.insert({cx + gx, cy + gy});
        cx += font.width();
    }
    expect_pixels(f, [&](int px, int py) { return set.count({px, py}) ? color : background; });
}

TEST_F(WindowServiceTest, GlyphPixelsTakeTheColourOthersStay)
{
    const std::tuple<int32_t, int32_t, std::string> cases[]
        = {{10, 10, "Legacy window test command"}, {0, 0, "Ag"}, {-4, -9, "Clipped"}, {630, 5, "Right"},
            {300, 470, "Bottom"}, {20, 30, "two\nlines"}, {5, 5, "caf\xe9 \xbd"}, {INT32_MAX, 0, "far"},
            {INT32_MIN, INT32_MIN, "far"}, {INT32_MAX - 8, INT32_MAX - 8, "xy\nz"}, {-8, 0, "AB"}, {0, 0, ""}};
    ASSERT_EQ(open(), 1);
    for (const auto& [x, y, s] : cases) {
        SCOPED_TRACE("x " + std::to_string(x) + " y " + std::to_string(y) + " text " + s);
        ASSERT_EQ(clear(0x1E1E1E), 0);
        EXPECT_EQ(text(x, y, 0xFFDEDEDE, s), 0);
        expect_text(gui_.canvas(), 0x1E1E1E, x, y, 0xDEDEDE, s);
    }
}

// The glyphs come from the configured file, in order, rows top down and the
// high bit leftmost: shapes that a shifted glyph, row or bit order would change.
TEST(ConsoleFont, GlyphsHaveTheirShapesAndControlCharactersTheReplacement)
{
    const Font& font = console_font();
    EXPECT_EQ(font.source(), VEKOS_CONSOLE_FONT);
    const int w = font.width(), h = font.height();
    ASSERT_TRUE(w >= 6 && h >= 8) << w << "x" << h;
    // Set pixels per glyph in these parts of the cell: rows [y0, y1) and columns [x0, x1).
    auto count = [&](uint8_t ch, int y0, int y1, int x0, int x1) {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                n += font.pixel(ch, x, y);
        return n;
    };
    EXPECT_EQ(count(' ', 0, h, 0, w), 0);
    EXPECT_GT(count('_', 0, h, 0, w), 0);
    EXPECT_EQ(count('_', 0, h * 2 / 3, 0, w), 0); // low
    EXPECT_GT(count('^', 0, h / 2, 0, w), 0);
    EXPECT_EQ(count('^', h / 2, h, 0, w), 0); // high
    EXPECT_GT(count('L', 0, h / 2, 0, w / 2), 0);
    EXPECT_EQ(count('L', 0, h / 2, w / 2, w), 0); // its stem on the left
    EXPECT_GT(count('J', 0, h / 2, w / 2, w), 0);
    EXPECT_EQ(count('.', 0, h / 2, 0, w), 0);
    EXPECT_FALSE(font.has_glyph(0x01) || font.has_glyph(0x7F) || !font.has_glyph('~'));
    EXPECT_GT(count(0x01, 0, h, 0, w), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(font.pixel(0x01, x, y), font.pixel(0x9F, x, y)) << x << ", " << y;
}

TEST_F(WindowServiceTest, PresentHandsOnTheFrameWhichStaysWhileTheNextIsDrawnResetForgetsAll)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x010101), 0);
    EXPECT_EQ(present(), 0);
    EXPECT_EQ(gui_.frames_presented(), 1u);
    EXPECT_EQ(front_.numbers, std::vector<uint64_t>{1});
    EXPECT_EQ(front_.last_pixel, 0x010101u);
    ASSERT_EQ(fill(0, 0, 1, 1, 0x020202), 0);
    EXPECT_EQ(gui_.canvas().at(0, 0), 0x020202u);
    EXPECT_EQ(gui_.canvas().at(1, 0), 0x010101u);
    EXPECT_EQ(gui_.presented().at(0, 0), 0x010101u);
    EXPECT_EQ(call(VEKOS_SYS_gui_begin, 1), 0);
    EXPECT_EQ(gui_.canvas().at(0, 0), 0x020202u); // begin clears nothing
    EXPECT_EQ(present(), 0);
    EXPECT_EQ(front_.numbers, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(gui_.presented(), gui_.canvas());
    ASSERT_EQ(clear(0x0000AA), 0);
    ASSERT_EQ(fill(3, 3, 2, 2, 0x00BB00), 0);
    ASSERT_EQ(present(), 0);

    const Framebuffer first = gui_.canvas();
    ASSERT_EQ(clear(0xCC0000), 0);
    ASSERT_EQ(fill(0, 0, 1, 1, 0x111111), 0);
    EXPECT_EQ(gui_.presented(), first);
    expect_rects(gui_.canvas(), 0xCC0000, {{{0, 0, 1, 1}, 0x111111}});
    ASSERT_EQ(present(), 0);
    const Framebuffer second = gui_.canvas();
    ASSERT_EQ(text(0, 0, 0xFFFFFF, "x"), 0); // text first after a present, then a clear
    ASSERT_EQ(clear(0x000001), 0);
    EXPECT_EQ(gui_.presented(), second);
    expect_rects(gui_.canvas(), 0x000001, {});
    ASSERT_EQ(present(), 0);
    ASSERT_EQ(clear(0x000002), 0);
    expect_rects(gui_.presented(), 0x000001, {});
    expect_rects(gui_.canvas(), 0x000002, {});
    gui_.push_event({GUI_EVENT_KEY, 'x', {}});
    gui_.reset(); // forgets the window
    EXPECT_FALSE(gui_.info());
    EXPECT_EQ(gui_.frames_presented(), 0u);
    EXPECT_EQ(gui_.events_pending(), 0u);
    EXPECT_EQ(present(), -9);
    EXPECT_EQ(open(), 1);
}

TEST_F(WindowServiceTest, AnEventFillsExactlyTwentyBytesNoEventWritesNothingBadRecordsKeepIt)
{
    ASSERT_EQ(open(), 1);
    put_words(kEvent, std::vector<uint32_t>(7, 0xAAAAAAAA));
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(wait(), 0);
    EXPECT_EQ(front_.waits, 1);
    EXPECT_EQ(words_at(kEvent, 7), std::vector<uint32_t>(7, 0xAAAAAAAA));
    gui_.push_event({GUI_EVENT_KEY, 'q', {7, 8, 9}});
    gui_.push_event({GUI_EVENT_KEY, 27, {}});
    EXPECT_EQ(poll(kEvent, 4096), 1);
    EXPECT_EQ(words_at(kEvent, 7), (std::vector<uint32_t>{1, 'q', 7, 8, 9, 0xAAAAAAAA, 0xAAAAAAAA}));
    EXPECT_EQ(wait(), 1);
    EXPECT_EQ(words_at(kEvent, 6), (std::vector<uint32_t>{1, 27, 0, 0, 0, 0xAAAAAAAA}));
    EXPECT_EQ(front_.waits, 1); // something was pending: no wait
    EXPECT_EQ(poll(), 0);
    // Bad records keep the event.
    gui_.push_event({GUI_EVENT_KEY, 'k', {}});
    for (uint32_t at : {kRodata, kUnmapped, 0u, kBss + kPage - 16})
        EXPECT_EQ(poll(at), -14) << at;
    EXPECT_EQ(poll(kData, 19), -22);
    EXPECT_EQ(poll(kData, 0), -22);
    EXPECT_EQ(wait(kRodata), -14);
    EXPECT_EQ(gui_.events_pending(), 1u);
    // Write-only memory is fine for an event; so is a record across two regions.
    EXPECT_EQ(poll(kWriteOnly), 1);
    std::vector<uint8_t> bytes(20);
    ASSERT_TRUE(memory_.peek(kWriteOnly, bytes));
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[4], 'k');
    gui_.push_event({GUI_EVENT_KEY, 'm', {}});
    EXPECT_EQ(poll(kBss - 8), 1);
    EXPECT_EQ(words_at(kBss - 8, 5), (std::vector<uint32_t>{1, 'm', 0, 0, 0}));
}

TEST_F(WindowServiceTest, ScriptedKeysArriveInTheirFrameTypedOnesFollowWaitWaitsForThem)
{
    gui_.set_keys({{3, 'b'}, {1, 'a'}, {3, 'c'}, {5, 0x151}});
    ASSERT_EQ(open(), 1);
    // The frames polled in and what each finds: in the order given; 0x151, due in 5, is found in 6,
    // and the keys typed then follow it.
    const std::map<uint64_t, std::vector<int64_t>> polled
        = {{1, {'a'}}, {2, {}}, {3, {'b', 'c'}}, {6, {0x151, 't', 'u'}}};
    for (uint64_t frame = 1; frame <= 6; ++frame) {
        if (frame == 6)
            front_.typed = {'t', 'u'};
        if (polled.count(frame)) {
            for (int64_t code : polled.at(frame))
                EXPECT_EQ(next_key(), code) << "frame " << frame;
            EXPECT_EQ(next_key(), -1) << "frame " << frame;
        }
        ASSERT_EQ(present(), 0);
    }
    front_.waited = {'w'}; // wait waits for typed keys
    EXPECT_EQ(front_.waits, 0);
    EXPECT_EQ(wait(), 1);
    EXPECT_EQ(front_.waits, 1);
    EXPECT_EQ(words_at(kEvent, 2), (std::vector<uint32_t>{1, 'w'}));
    EXPECT_EQ(wait(), 0);
}

TEST(WindowOptions, KeyLists)
{
    const std::vector<std::pair<std::string_view, std::pair<uint64_t, int32_t>>> one
        = {{"200:q", {200, 'q'}}, {"1:Q", {1, 'Q'}}, {"300:Escape", {300, 27}}, {"3:esc", {3, 27}},
            {"4:0x3B", {4, 0x3B}}, {"4:0x151", {4, 0x151}}, {"5:27", {5, 27}}, {"5:7", {5, '7'}},
            {"6:Enter", {6, '\n'}}, {"6:space", {6, ' '}}, {"7:,", {7, ','}}, {"7::", {7, ':'}}};
    for (const auto& [text, key] : one) {
        const auto keys = parse_keys(text);
        ASSERT_EQ(keys.size(), 1u) << text;
        EXPECT_EQ((std::pair{keys[0].frame, keys[0].code}), key) << text;
    }
    std::vector<std::pair<uint64_t, int32_t>> several;
    for (const ScriptedKey& k : parse_keys("5:a,5:b,300:Escape,9:,,10:0xD1"))
        several.emplace_back(k.frame, k.code);
    EXPECT_EQ(
        several, (std::vector<std::pair<uint64_t, int32_t>>{{5, 'a'}, {5, 'b'}, {300, 27}, {9, ','}, {10, 0xD1}}));
    for (std::string_view bad : {"", "q", ":q", "0:q", "x:q", "5:", "5:Nope", "5:q,", "-1:q", "5:0x", "5:99999999999"})
        EXPECT_THROW(parse_keys(bad), UsageError) << bad;
    try {
        parse_keys("5:Nope");
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("--keys"), std::string::npos);
    }
}

} // namespace
} // namespace vekos::test
