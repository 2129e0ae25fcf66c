// The window service call by call: records read through the checked guest
// memory, answers, clipping, text, events and scripted keys.
#include "calls.h"
#include "console.h"
#include "font.h"
#include "framebuffer.h"
#include "guest_memory.h"
#include "kernel.h"
#include "services_window.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kData = 0x10000, kDataSize = 0x20000;  // read-write
constexpr uint32_t kBss = kData + kDataSize;             // read-write, right after data
constexpr uint32_t kRodata = 0x40000;                    // read-only
constexpr uint32_t kWriteOnly = 0x50000;                 // writable, not readable
constexpr uint32_t kUnmapped = 0x90000;
constexpr uint32_t kPage = 0x1000;
constexpr int kW = kWindowWidth, kH = kWindowHeight;

class FakeFrontEnd final : public GuiFrontEnd {
public:
    void window_opened(std::string_view title, std::string_view hint, int width, int height) override
    {
        opened.push_back(std::string(title) + "|" + std::string(hint) + "|" + std::to_string(width) + "x" +
                         std::to_string(height));
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
        if (waited.empty())
            return false;
        codes.insert(codes.end(), waited.begin(), waited.end());
        waited.clear();
        return true;
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
        memory_.add_region(kData, kDataSize, kRead | kWrite, "data");
        memory_.add_region(kBss, kPage, kRead | kWrite, "bss");
        memory_.add_region(kRodata, kPage, kRead, "rodata");
        memory_.add_region(kWriteOnly, kPage, kWrite, "write-only");
    }

    int32_t call(uint32_t number, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0)
    {
        auto answer = gui_.handle(memory_, CallRegs{number, ebx, ecx, edx});
        EXPECT_TRUE(answer) << "call " << number << " not implemented";
        return answer.value_or(INT32_MIN);
    }
    uint32_t put_words(uint32_t at, std::vector<uint32_t> words)
    {
        std::vector<uint8_t> bytes(words.size() * 4);
        std::memcpy(bytes.data(), words.data(), bytes.size());
        EXPECT_TRUE(memory_.poke(at, bytes));
        return at;
    }
    uint32_t put_string(uint32_t at, std::string_view text)
    {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        EXPECT_TRUE(memory_.poke(at, bytes));
        return at;
    }
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
    int32_t poll(uint32_t record = kData + 0x300, uint32_t size = kGuiEventSize)
    {
        return call(VEKOS_SYS_gui_poll_event, 1, record, size);
    }

    GuestMemory memory_;
    FakeFrontEnd front_;
    GuiService gui_{GuiOptions{}, &front_};
};

// ---- Opening -------------------------------------------------------------------

TEST_F(WindowServiceTest, CreateAnswersTheHandleAndKeepsTitleAndHint)
{
    EXPECT_EQ(open(), 1);
    ASSERT_TRUE(gui_.window());
    EXPECT_EQ(gui_.window()->title, "Title");
    EXPECT_EQ(gui_.window()->hint, "Hint");
    EXPECT_FALSE(gui_.window()->attached);
    EXPECT_EQ(front_.opened, std::vector<std::string>{"Title|Hint|640x480"});
    EXPECT_EQ(gui_.canvas().width(), 640);
    EXPECT_EQ(gui_.canvas().height(), 480);
}

TEST_F(WindowServiceTest, ASecondCreateIsBusyAndAttachAnswersTheOpenWindow)
{
    ASSERT_EQ(open(), 1);
    EXPECT_EQ(open(), -16);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, put_string(kData, "Other"), 0), 1);
    EXPECT_EQ(gui_.window()->title, "Title");
    EXPECT_EQ(front_.opened.size(), 1u);
}

TEST_F(WindowServiceTest, AttachOpensAWindowWhenNoneIsOpen)
{
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, put_string(kData, "A"), put_string(kData + 8, "B"), 0), 1);
    ASSERT_TRUE(gui_.window());
    EXPECT_TRUE(gui_.window()->attached);
    EXPECT_EQ(gui_.window()->title, "A");
    EXPECT_EQ(gui_.window()->hint, "B");
}

TEST_F(WindowServiceTest, NullTitleAndHintAreEmpty)
{
    EXPECT_EQ(call(VEKOS_SYS_gui_create, 0, 0, 0), 1);
    EXPECT_EQ(gui_.window()->title, "");
    EXPECT_EQ(gui_.window()->hint, "");
}

TEST_F(WindowServiceTest, UnreadableTitleOrHintIsABadAddress)
{
    EXPECT_EQ(call(VEKOS_SYS_gui_create, kUnmapped, 0, 0), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_create, put_string(kData, "T"), kUnmapped, 0), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, kWriteOnly, 0, 0), -14);
    // Readable, but it runs off the end of its region before a NUL.
    std::vector<uint8_t> tail(16, 'x');
    memory_.poke(kRodata + kPage - 16, tail);
    EXPECT_EQ(call(VEKOS_SYS_gui_create, kRodata + kPage - 16, 0, 0), -14);
    EXPECT_FALSE(gui_.window());
    EXPECT_TRUE(front_.opened.empty());
}

TEST_F(WindowServiceTest, TitleOf65535BytesIsTakenOneMoreIsInvalid)
{
    EXPECT_EQ(call(VEKOS_SYS_gui_create, put_string(kData, std::string(65536, 'a')), 0, 0), -22);
    EXPECT_FALSE(gui_.window());
    EXPECT_EQ(call(VEKOS_SYS_gui_create, put_string(kData, std::string(65535, 'b')), 0, 0), 1);
    EXPECT_EQ(gui_.window()->title.size(), 65535u);
}

TEST_F(WindowServiceTest, FailingCreateLeavesAttach)
{
    gui_.set_failure(GuiFailure::create);
    EXPECT_EQ(call(VEKOS_SYS_gui_create, 0, 0, 0), -19);
    EXPECT_FALSE(gui_.window());
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, 0, 0, 0), 1);
}

TEST_F(WindowServiceTest, FailingAttachLeavesCreate)
{
    gui_.set_failure(GuiFailure::attach);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, 0, 0, 0), -19);
    EXPECT_EQ(call(VEKOS_SYS_gui_create, 0, 0, 0), 1);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, 0, 0, 0), -19);
}

TEST_F(WindowServiceTest, FailingBothOpensNothing)
{
    gui_.set_failure(GuiFailure::both);
    EXPECT_EQ(call(VEKOS_SYS_gui_create, 0, 0, 0), -19);
    EXPECT_EQ(call(VEKOS_SYS_gui_attach, 0, 0, 0), -19);
    EXPECT_FALSE(gui_.window());
}

TEST_F(WindowServiceTest, FrameCallsNeedTheWindowsHandle)
{
    const uint32_t rec = put_words(kData, {0, 0, 10, 10, 0xFFFFFF});
    for (uint32_t n : {VEKOS_SYS_gui_begin, VEKOS_SYS_gui_clear, VEKOS_SYS_gui_fill_rect, VEKOS_SYS_gui_draw_text,
                       VEKOS_SYS_gui_present, VEKOS_SYS_gui_poll_event, VEKOS_SYS_gui_wait_event})
        EXPECT_EQ(call(n, 1, rec, 20), -9) << "before any window, call " << n;
    ASSERT_EQ(open(), 1);
    for (uint32_t handle : {0u, 2u, 0xFFFFFFFFu})
        for (uint32_t n : {VEKOS_SYS_gui_begin, VEKOS_SYS_gui_clear, VEKOS_SYS_gui_fill_rect,
                           VEKOS_SYS_gui_draw_text, VEKOS_SYS_gui_present, VEKOS_SYS_gui_poll_event,
                           VEKOS_SYS_gui_wait_event})
            EXPECT_EQ(call(n, handle, rec, 20), -9) << "handle " << handle << ", call " << n;
    EXPECT_EQ(gui_.frames_presented(), 0u);
    EXPECT_EQ(gui_.canvas().at(0, 0), 0u);
    EXPECT_EQ(call(VEKOS_SYS_gui_begin, 1), 0);
}

TEST_F(WindowServiceTest, OtherWindowCallsAreLeftToTheDispatcher)
{
    ASSERT_EQ(open(), 1);
    for (uint32_t n : {9u, 18u, 19u, 20u, 23u, 24u, 105u, 106u, 107u, 108u, 111u, 112u, 137u, 138u, 139u, 1u, 22u})
        EXPECT_FALSE(gui_.handle(memory_, CallRegs{n, 1, kData, 20})) << n;
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
    options.trace = [&](std::string_view line) { trace.emplace_back(line); };
    Kernel kernel(options, console);
    GuiService gui;
    kernel.set_window(&gui);

    EXPECT_EQ(kernel.handle(memory, CallRegs{VEKOS_SYS_gui_create, 0, 0, 0}).answer, 1);
    const std::map<uint32_t, std::string> others = {
        {9, "gui_set_title"},         {18, "gui_draw_line"},         {19, "gui_get_content_size"},
        {20, "gui_set_font"},         {23, "gui_set_continuous_redraw"}, {24, "gui_blit_rgb565"},
        {105, "gui_draw_icon"},       {106, "gui_outline_rect"},     {107, "gui_draw_char"},
        {108, "gui_get_font_metrics"}, {111, "gui_warp_mouse"},      {112, "gui_set_cursor_visible"},
        {137, "gui_load_font"},       {138, "gui_draw_text_font"},   {139, "gui_draw_char_font"}};
    for (const auto& [number, name] : others) {
        trace.clear();
        EXPECT_EQ(kernel.handle(memory, CallRegs{number, 1, 0x11223344, 0xFFFFFFF0}).answer, -38) << name;
        EXPECT_FALSE(kernel.log().back().implemented);
        ASSERT_EQ(trace.size(), 1u);
        EXPECT_EQ(trace[0], name + "(0x00000001, 0x11223344, 0xfffffff0) = -38 (not implemented)");
    }
    // Without a window service even the implemented ones answer -38.
    kernel.set_window(nullptr);
    EXPECT_EQ(kernel.handle(memory, CallRegs{VEKOS_SYS_gui_begin, 1, 0, 0}).answer, -38);
}

// ---- Drawing ---------------------------------------------------------------------

struct Rect {
    int64_t x, y, w, h;
};

// Per pixel, in 64 bits: what a clipped rectangle fill must leave.
void expect_rects(const Framebuffer& f, uint32_t background, const std::vector<std::pair<Rect, uint32_t>>& rects)
{
    int wrong = 0;
    for (int y = 0; y < f.height(); ++y)
        for (int x = 0; x < f.width(); ++x) {
            uint32_t want = background;
            for (const auto& [r, color] : rects)
                if (r.w > 0 && r.h > 0 && x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h)
                    want = color & 0xFFFFFF;
            if (f.at(x, y) != want && ++wrong <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << f.at(x, y) << ", not "
                              << want;
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(WindowServiceTest, ClearFillsEveryPixelAndIgnoresTheTopByte)
{
    ASSERT_EQ(open(), 1);
    EXPECT_EQ(clear(0xFF123456), 0);
    expect_rects(gui_.canvas(), 0x123456, {});
}

TEST_F(WindowServiceTest, FillRectFillsExactlyItsPixels)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x1E1E1E), 0);
    EXPECT_EQ(fill(82, 90, 140, 90, 0xFFB482), 0);
    expect_rects(gui_.canvas(), 0x1E1E1E, {{{82, 90, 140, 90}, 0xFFB482}});
    EXPECT_EQ(gui_.canvas().at(82, 90), 0xFFB482u);
    EXPECT_EQ(gui_.canvas().at(221, 179), 0xFFB482u);
    EXPECT_EQ(gui_.canvas().at(222, 179), 0x1E1E1Eu);
    EXPECT_EQ(gui_.canvas().at(221, 180), 0x1E1E1Eu);
}

struct ClipCase {
    int32_t x, y, w, h;
};

void PrintTo(const ClipCase& c, std::ostream* out)
{
    *out << "x " << c.x << " y " << c.y << " w " << c.w << " h " << c.h;
}

class ClipTest : public WindowServiceTest, public ::testing::WithParamInterface<ClipCase> {};

TEST_P(ClipTest, FillIsClippedToTheWindow)
{
    const ClipCase c = GetParam();
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x000010), 0);
    EXPECT_EQ(fill(c.x, c.y, c.w, c.h, 0xAB00CD), 0);
    expect_rects(gui_.canvas(), 0x000010, {{{c.x, c.y, c.w, c.h}, 0xAB00CD}});
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ClipTest,
    ::testing::Values(ClipCase{-10, -10, 30, 30}, ClipCase{630, 470, 30, 30}, ClipCase{600, -5, 100, 10},
                      ClipCase{-5, 200, 700, 3}, ClipCase{-50, 100, 40, 10}, ClipCase{-50, 100, 50, 10},
                      ClipCase{640, 0, 5, 5}, ClipCase{0, 480, 5, 5}, ClipCase{0, -5, 5, 5},
                      ClipCase{10, 10, -5, 20}, ClipCase{10, 10, 20, -5}, ClipCase{10, 10, 0, 5},
                      ClipCase{10, 10, INT32_MIN, INT32_MIN}, ClipCase{INT32_MAX, 0, 10, 10},
                      ClipCase{0, INT32_MAX, 10, INT32_MAX}, ClipCase{INT32_MIN, 0, INT32_MAX, 10},
                      ClipCase{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, ClipCase{-5, -5, INT32_MAX, INT32_MAX},
                      ClipCase{100, 100, INT32_MAX, INT32_MAX}, ClipCase{0, 0, 640, 480}, ClipCase{639, 479, 1, 1},
                      ClipCase{639, 479, 2, 2}, ClipCase{INT32_MIN + 1, INT32_MIN + 1, -1, -1}));

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
    // The one clear that was readable: rodata's last word (zero).
    EXPECT_EQ(gui_.canvas().at(5, 5), 0u);
    ASSERT_EQ(clear(0x222222), 0);
    EXPECT_EQ(gui_.canvas(), before);
}

TEST_F(WindowServiceTest, ARecordMayStraddleTwoAdjacentRegions)
{
    ASSERT_EQ(open(), 1);
    const uint32_t at = kBss - 8;  // x, y in data; w, h, colour in bss
    put_words(at, {5, 6, 7, 8, 0x00ABCDEF});
    EXPECT_EQ(call(VEKOS_SYS_gui_fill_rect, 1, at, 0), 0);
    expect_rects(gui_.canvas(), 0, {{{5, 6, 7, 8}, 0xABCDEF}});
}

TEST_F(WindowServiceTest, ReadOnlyRecordsAreFine)
{
    ASSERT_EQ(open(), 1);
    put_words(kRodata, {1, 2, 3, 4, 0x010203});
    EXPECT_EQ(call(VEKOS_SYS_gui_fill_rect, 1, kRodata, 0), 0);
    expect_rects(gui_.canvas(), 0, {{{1, 2, 3, 4}, 0x010203}});
}

// Per pixel from the font: what text must leave.
void expect_text(const Framebuffer& f, uint32_t background, int64_t x, int64_t y, uint32_t color,
                 std::string_view text)
{
    const Font& font = console_font();
    std::map<std::pair<int64_t, int64_t>, bool> set;
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
                    set[{cx + gx, cy + gy}] = true;
        cx += font.width();
    }
    int wrong = 0;
    for (int py = 0; py < f.height(); ++py)
        for (int px = 0; px < f.width(); ++px) {
            const uint32_t want = set.count({px, py}) ? color : background;
            if (f.at(px, py) != want && ++wrong <= 5)
                ADD_FAILURE() << "pixel (" << px << ", " << py << ") is " << std::hex << f.at(px, py) << ", not "
                              << want;
        }
    EXPECT_EQ(wrong, 0);
}

struct TextCase {
    int32_t x, y;
    std::string text;
};

void PrintTo(const TextCase& c, std::ostream* out)
{
    *out << "x " << c.x << " y " << c.y << " text of " << c.text.size() << " bytes";
}

class TextTest : public WindowServiceTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextTest, GlyphPixelsTakeTheColourOthersStay)
{
    const TextCase c = GetParam();
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x1E1E1E), 0);
    EXPECT_EQ(text(c.x, c.y, 0xFFDEDEDE, c.text), 0);
    expect_text(gui_.canvas(), 0x1E1E1E, c.x, c.y, 0xDEDEDE, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Placement, TextTest,
    ::testing::Values(TextCase{10, 10, "Legacy window test command"}, TextCase{0, 0, "Ag"},
                      TextCase{-4, -9, "Clipped"}, TextCase{630, 5, "Right"}, TextCase{300, 470, "Bottom"},
                      TextCase{20, 30, "two\nlines"}, TextCase{5, 5, "caf\xe9 \xbd"},
                      TextCase{INT32_MAX, 0, "far"}, TextCase{INT32_MIN, INT32_MIN, "far"},
                      TextCase{INT32_MAX - 8, INT32_MAX - 8, "xy\nz"}, TextCase{-8, 0, "AB"},
                      TextCase{0, 0, ""}));

TEST_F(WindowServiceTest, CaptionPixelsAreExactlyTheTextColour)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x1E1E1E), 0);
    ASSERT_EQ(text(10, 10, 0xDEDEDE, "Legacy window test command"), 0);
    int caption = 0, other = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const uint32_t p = gui_.canvas().at(x, y);
            if (p == 0xDEDEDE) {
                ++caption;
                EXPECT_TRUE(x >= 10 && x < 10 + 26 * 8 && y >= 10 && y < 26) << x << ", " << y;
            } else if (p != 0x1E1E1E) {
                ++other;
            }
        }
    EXPECT_GT(caption, 200);
    EXPECT_EQ(other, 0);
}

TEST_F(WindowServiceTest, TextThatCannotBeReadIsRefused)
{
    ASSERT_EQ(open(), 1);
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, put_words(kData, {0, 0, 0xFFFFFF, kUnmapped})), -14);
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, put_words(kData, {0, 0, 0xFFFFFF, 0})), -14);
    put_string(kData + 0x100, std::string(70000, 'x'));
    EXPECT_EQ(call(VEKOS_SYS_gui_draw_text, 1, put_words(kData, {0, 0, 0xFFFFFF, kData + 0x100})), -22);
    expect_rects(gui_.canvas(), 0, {});
}

// ---- The font ------------------------------------------------------------------------

// The console font file, read here on its own: every ASCII glyph drawn must be
// the file's glyph for that character.
struct FileFont {
    int width = 0, height = 0, row_bytes = 0;
    std::vector<uint8_t> glyphs;
    std::map<uint32_t, int> glyph_of;
};

FileFont read_font_file(const char* path)
{
    FileFont f;
    gzFile in = gzopen(path, "rb");
    if (!in)
        return f;
    std::vector<uint8_t> b;
    uint8_t chunk[4096];
    int n;
    while ((n = gzread(in, chunk, sizeof chunk)) > 0)
        b.insert(b.end(), chunk, chunk + n);
    gzclose(in);
    auto le = [&](size_t at) { return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24); };
    size_t table = 0;
    int count = 0;
    bool psf2 = false;
    if (b.size() > 4 && b[0] == 0x36 && b[1] == 0x04) {
        f.width = 8;
        f.height = b[3];
        f.row_bytes = 1;
        count = (b[2] & 1) ? 512 : 256;
        f.glyphs.assign(b.begin() + 4, b.begin() + 4 + count * f.height);
        table = (b[2] & 6) ? 4 + size_t(count) * f.height : 0;
    } else if (b.size() > 32 && le(0) == 0x864AB572) {
        psf2 = true;
        f.height = int(le(24));
        f.width = int(le(28));
        f.row_bytes = (f.width + 7) / 8;
        count = int(le(16));
        const size_t header = le(8), size = le(20);
        f.glyphs.assign(b.begin() + long(header), b.begin() + long(header + count * size));
        table = (le(12) & 1) ? header + count * size : 0;
    }
    if (!table) {
        for (int g = 0; g < 256 && g < count; ++g)
            f.glyph_of[uint32_t(g)] = g;
        return f;
    }
    size_t at = table;
    for (int g = 0; g < count && at < b.size(); ++g) {
        bool sequence = false;
        for (;;) {
            uint32_t v;
            if (!psf2) {
                v = uint32_t(b[at] | b[at + 1] << 8);
                at += 2;
                if (v == 0xFFFF)
                    break;
                if (v == 0xFFFE) {
                    sequence = true;
                    continue;
                }
            } else {
                v = b[at++];
                if (v == 0xFF)
                    break;
                if (v == 0xFE) {
                    sequence = true;
                    continue;
                }
                if (v >= 0x80)
                    continue;  // only ASCII matters here
            }
            if (!sequence)
                f.glyph_of.emplace(v, g);
        }
    }
    return f;
}

TEST(ConsoleFont, IsTheConfiguredFontFile)
{
    const Font& font = console_font();
    EXPECT_EQ(font.source(), VEKOS_CONSOLE_FONT);
    const FileFont file = read_font_file(VEKOS_CONSOLE_FONT);
    ASSERT_GT(file.height, 0) << "cannot read " << VEKOS_CONSOLE_FONT;
    EXPECT_EQ(font.width(), file.width);
    EXPECT_EQ(font.height(), file.height);
    for (uint32_t ch = 0x20; ch < 0x7F; ++ch) {
        ASSERT_TRUE(file.glyph_of.count(ch)) << "the font file has no glyph for " << ch;
        EXPECT_TRUE(font.has_glyph(uint8_t(ch)));
        const uint8_t* rows = file.glyphs.data() + size_t(file.glyph_of.at(ch)) * file.height * file.row_bytes;
        for (int y = 0; y < file.height; ++y)
            for (int x = 0; x < file.width; ++x)
                EXPECT_EQ(font.pixel(uint8_t(ch), x, y), bool(rows[y * file.row_bytes + x / 8] >> (7 - x % 8) & 1))
                    << "'" << char(ch) << "' at " << x << ", " << y;
    }
}

TEST(ConsoleFont, ControlCharactersShowTheReplacementGlyph)
{
    const Font& font = console_font();
    EXPECT_FALSE(font.has_glyph(0x01));
    EXPECT_FALSE(font.has_glyph(0x7F));
    int set = 0, same = 0;
    for (int y = 0; y < font.height(); ++y)
        for (int x = 0; x < font.width(); ++x) {
            set += font.pixel(0x01, x, y);
            same += font.pixel(0x01, x, y) == font.pixel(0x9F, x, y);
        }
    EXPECT_GT(set, 0);
    EXPECT_EQ(same, font.width() * font.height());
    // The space is blank.
    int space = 0;
    for (int y = 0; y < font.height(); ++y)
        for (int x = 0; x < font.width(); ++x)
            space += font.pixel(' ', x, y);
    EXPECT_EQ(space, 0);
}

// ---- Present ------------------------------------------------------------------------

TEST_F(WindowServiceTest, PresentHandsOnTheFrameAndKeepsTheCanvas)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x010101), 0);
    EXPECT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    EXPECT_EQ(gui_.frames_presented(), 1u);
    EXPECT_EQ(front_.numbers, std::vector<uint64_t>{1});
    EXPECT_EQ(front_.last_pixel, 0x010101u);
    // Drawing goes on over the frame; what was presented stays until the next present.
    ASSERT_EQ(fill(0, 0, 1, 1, 0x020202), 0);
    EXPECT_EQ(gui_.canvas().at(0, 0), 0x020202u);
    EXPECT_EQ(gui_.canvas().at(1, 0), 0x010101u);
    EXPECT_EQ(gui_.presented().at(0, 0), 0x010101u);
    EXPECT_EQ(call(VEKOS_SYS_gui_begin, 1), 0);
    EXPECT_EQ(gui_.canvas().at(0, 0), 0x020202u);  // begin clears nothing
    EXPECT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    EXPECT_EQ(front_.numbers, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(gui_.presented(), gui_.canvas());
}

TEST_F(WindowServiceTest, ThePresentedFrameStaysWhileTheNextIsDrawn)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(clear(0x0000AA), 0);
    ASSERT_EQ(fill(3, 3, 2, 2, 0x00BB00), 0);
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    const Framebuffer first = gui_.canvas();
    // A whole clear, then drawing: the presented frame is untouched.
    ASSERT_EQ(clear(0xCC0000), 0);
    ASSERT_EQ(fill(0, 0, 1, 1, 0x111111), 0);
    EXPECT_EQ(gui_.presented(), first);
    expect_rects(gui_.canvas(), 0xCC0000, {{{0, 0, 1, 1}, 0x111111}});
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    EXPECT_EQ(gui_.presented(), gui_.canvas());
    // Text first after a present, then a clear: still apart.
    const Framebuffer second = gui_.canvas();
    ASSERT_EQ(text(0, 0, 0xFFFFFF, "x"), 0);
    ASSERT_EQ(clear(0x000001), 0);
    EXPECT_EQ(gui_.presented(), second);
    expect_rects(gui_.canvas(), 0x000001, {});
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    ASSERT_EQ(clear(0x000002), 0);
    expect_rects(gui_.presented(), 0x000001, {});
    expect_rects(gui_.canvas(), 0x000002, {});
}

TEST_F(WindowServiceTest, ResetForgetsTheWindow)
{
    ASSERT_EQ(open(), 1);
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    gui_.push_event({kGuiEventKey, 'x', {}});
    gui_.reset();
    EXPECT_FALSE(gui_.window());
    EXPECT_EQ(gui_.frames_presented(), 0u);
    EXPECT_EQ(gui_.events_pending(), 0u);
    EXPECT_EQ(call(VEKOS_SYS_gui_present, 1), -9);
    EXPECT_EQ(open(), 1);
}

// ---- Events ----------------------------------------------------------------------------

TEST_F(WindowServiceTest, PollWithNothingPendingAnswersZeroAndWritesNothing)
{
    ASSERT_EQ(open(), 1);
    put_words(kData + 0x300, {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA});
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(words_at(kData + 0x300, 5), std::vector<uint32_t>(5, 0xAAAAAAAA));
    EXPECT_EQ(call(VEKOS_SYS_gui_wait_event, 1, kData + 0x300, 20), 0);
    EXPECT_EQ(front_.waits, 1);
}

TEST_F(WindowServiceTest, AnEventFillsExactlyTwentyBytes)
{
    ASSERT_EQ(open(), 1);
    put_words(kData + 0x300, std::vector<uint32_t>(7, 0xAAAAAAAA));
    gui_.push_event({kGuiEventKey, 'q', {7, 8, 9}});
    gui_.push_event({kGuiEventKey, 27, {}});
    EXPECT_EQ(poll(kData + 0x300, 4096), 1);
    EXPECT_EQ(words_at(kData + 0x300, 7), (std::vector<uint32_t>{1, 'q', 7, 8, 9, 0xAAAAAAAA, 0xAAAAAAAA}));
    EXPECT_EQ(call(VEKOS_SYS_gui_wait_event, 1, kData + 0x300, 20), 1);
    EXPECT_EQ(words_at(kData + 0x300, 6), (std::vector<uint32_t>{1, 27, 0, 0, 0, 0xAAAAAAAA}));
    EXPECT_EQ(front_.waits, 0);  // something was pending: no wait
    EXPECT_EQ(poll(), 0);
}

TEST_F(WindowServiceTest, BadEventRecordsKeepTheEvent)
{
    ASSERT_EQ(open(), 1);
    gui_.push_event({kGuiEventKey, 'k', {}});
    EXPECT_EQ(poll(kRodata), -14);
    EXPECT_EQ(poll(kUnmapped), -14);
    EXPECT_EQ(poll(0), -14);
    EXPECT_EQ(poll(kBss + kPage - 16), -14);  // runs past the mapped end
    EXPECT_EQ(poll(kData, 19), -22);
    EXPECT_EQ(poll(kData, 0), -22);
    EXPECT_EQ(call(VEKOS_SYS_gui_wait_event, 1, kRodata, 20), -14);
    EXPECT_EQ(gui_.events_pending(), 1u);
    // Write-only memory is fine for an event; so is a record across two regions.
    EXPECT_EQ(poll(kWriteOnly), 1);
    std::vector<uint8_t> bytes(20);
    ASSERT_TRUE(memory_.peek(kWriteOnly, bytes));
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[4], 'k');
    gui_.push_event({kGuiEventKey, 'm', {}});
    EXPECT_EQ(poll(kBss - 8), 1);
    EXPECT_EQ(words_at(kBss - 8, 5), (std::vector<uint32_t>{1, 'm', 0, 0, 0}));
}

TEST_F(WindowServiceTest, ScriptedKeysArriveInTheirFrame)
{
    gui_.set_keys({{3, 'b'}, {1, 'a'}, {3, 'c'}, {5, 0x151}});
    ASSERT_EQ(open(), 1);
    auto next = [&]() -> int64_t {
        if (poll() != 1)
            return -1;
        return words_at(kData + 0x300, 2)[1];
    };
    EXPECT_EQ(next(), 'a');  // frame 1
    EXPECT_EQ(next(), -1);
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    EXPECT_EQ(next(), -1);  // frame 2
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    EXPECT_EQ(next(), 'b');  // frame 3, in the order given
    EXPECT_EQ(next(), 'c');
    EXPECT_EQ(next(), -1);
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    ASSERT_EQ(call(VEKOS_SYS_gui_present, 1), 0);
    EXPECT_EQ(next(), 0x151);  // due in frame 5, found in frame 6
    EXPECT_EQ(next(), -1);
}

TEST_F(WindowServiceTest, TypedKeysFollowScriptedOnesAndWaitWaitsForThem)
{
    gui_.set_keys({{1, 'a'}});
    ASSERT_EQ(open(), 1);
    front_.typed = {'t', 'u'};
    front_.waited = {'w'};
    std::vector<uint32_t> codes;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(poll(), 1);
        codes.push_back(words_at(kData + 0x300, 2)[1]);
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{'a', 't', 'u'}));
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(front_.waits, 0);
    EXPECT_EQ(call(VEKOS_SYS_gui_wait_event, 1, kData + 0x300, 20), 1);
    EXPECT_EQ(front_.waits, 1);
    EXPECT_EQ(words_at(kData + 0x300, 2), (std::vector<uint32_t>{1, 'w'}));
    EXPECT_EQ(call(VEKOS_SYS_gui_wait_event, 1, kData + 0x300, 20), 0);
}

// ---- Options ---------------------------------------------------------------------------

TEST(WindowOptions, KeyLists)
{
    auto one = [](std::string_view s) {
        auto keys = parse_keys(s);
        EXPECT_EQ(keys.size(), 1u) << s;
        return keys.empty() ? std::pair<uint64_t, int32_t>{} : std::pair{keys[0].frame, keys[0].code};
    };
    EXPECT_EQ(one("200:q"), (std::pair<uint64_t, int32_t>{200, 'q'}));
    EXPECT_EQ(one("1:Q"), (std::pair<uint64_t, int32_t>{1, 'Q'}));
    EXPECT_EQ(one("300:Escape"), (std::pair<uint64_t, int32_t>{300, 27}));
    EXPECT_EQ(one("3:esc"), (std::pair<uint64_t, int32_t>{3, 27}));
    EXPECT_EQ(one("4:0x3B"), (std::pair<uint64_t, int32_t>{4, 0x3B}));
    EXPECT_EQ(one("4:0x151"), (std::pair<uint64_t, int32_t>{4, 0x151}));
    EXPECT_EQ(one("5:27"), (std::pair<uint64_t, int32_t>{5, 27}));
    EXPECT_EQ(one("5:7"), (std::pair<uint64_t, int32_t>{5, '7'}));
    EXPECT_EQ(one("6:Enter"), (std::pair<uint64_t, int32_t>{6, '\n'}));
    EXPECT_EQ(one("6:space"), (std::pair<uint64_t, int32_t>{6, ' '}));
    EXPECT_EQ(one("7:,"), (std::pair<uint64_t, int32_t>{7, ','}));
    EXPECT_EQ(one("7::"), (std::pair<uint64_t, int32_t>{7, ':'}));
    const auto several = parse_keys("5:a,5:b,300:Escape,9:,,10:0xD1");
    ASSERT_EQ(several.size(), 5u);
    EXPECT_EQ(several[0].code, 'a');
    EXPECT_EQ(several[1].code, 'b');
    EXPECT_EQ(several[2].frame, 300u);
    EXPECT_EQ(several[2].code, 27);
    EXPECT_EQ(several[3].code, ',');
    EXPECT_EQ(several[4].code, 0xD1);
    for (std::string_view bad : {"", "q", ":q", "0:q", "x:q", "5:", "5:Nope", "5:q,", "-1:q", "5:0x", "5:99999999999"})
        EXPECT_THROW(parse_keys(bad), std::invalid_argument) << bad;
    try {
        parse_keys("5:Nope");
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("--keys"), std::string::npos);
    }
}

TEST(WindowOptions, FailureNames)
{
    EXPECT_EQ(parse_gui_failure("create"), GuiFailure::create);
    EXPECT_EQ(parse_gui_failure("attach"), GuiFailure::attach);
    EXPECT_EQ(parse_gui_failure("both"), GuiFailure::both);
    EXPECT_THROW(parse_gui_failure("all"), std::invalid_argument);
}

TEST(WindowFramebuffer, NeedsAPositiveSize)
{
    EXPECT_THROW(Framebuffer(0, 10), std::invalid_argument);
    EXPECT_THROW(Framebuffer(10, -1), std::invalid_argument);
    Framebuffer f(3, 2, 0xFF00FF00);
    EXPECT_EQ(f.at(2, 1), 0x00FF00u);
}

} // namespace
} // namespace vekos::test
