// The window service call by call: records read through the checked guest
// memory, answers, clipping, text, the presented frame, events and keys.
#include "base/errors.h"
#include "cli/options.h"
#include "cpu/guest_memory.h"
#include "kernel/kernel.h"
#include "window/font.h"
#include "window/window.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

namespace vekos::test {
namespace {

// data, then bss right after it (both read-write), read-only data, write-only memory; nothing at kUnmapped.
constexpr uint32_t kData = 0x10000, kBss = 0x30000, kRodata = 0x40000, kWriteOnly = 0x50000, kUnmapped = 0x90000,
                   kPage = 0x1000, kEvent = kData + 0x300, kRecord = kData + 0x200;
constexpr uint32_t kCreate = VEKOS_SYS_gui_create, kAttach = VEKOS_SYS_gui_attach, kBegin = VEKOS_SYS_gui_begin,
                   kClear = VEKOS_SYS_gui_clear, kFill = VEKOS_SYS_gui_fill_rect, kText = VEKOS_SYS_gui_draw_text,
                   kPresent = VEKOS_SYS_gui_present, kPoll = VEKOS_SYS_gui_poll_event, kWait = VEKOS_SYS_gui_wait_event;
using Words = std::vector<uint32_t>;

// The test is the window's viewer: keys typed, and keys a wait for one finds.
class WindowServiceTest : public ::testing::Test, public Viewer {
protected:
    WindowServiceTest()
    {
        kernel_.set_window(&gui_);
        for (auto [base, size, access] : {std::tuple{kData, kBss - kData, 3u}, {kBss, kPage, 3u}, {kRodata, kPage, 1u},
                 {kWriteOnly, kPage, 2u}}) // read 1, write 2
            memory_.add_region(base, size, access, "region");
    }
    int32_t call(uint32_t number, uint32_t ebx = 1, uint32_t ecx = 0, uint32_t edx = GUI_EVENT_SIZE)
    {
        return kernel_.handle(memory_, CallRegs{number, ebx, ecx, edx}).answer;
    }
    uint32_t put(uint32_t at, const Words& w) { return memory_.poke(at, std::as_bytes(std::span(w))) ? at : 0; }
    uint32_t put(uint32_t at, const std::string& s)
    {
        return memory_.poke(at, std::as_bytes(std::span(s.c_str(), s.size() + 1))) ? at : 0;
    }
    Words words(uint32_t at, size_t count)
    {
        Words w(count);
        return memory_.peek(at, std::span(reinterpret_cast<uint8_t*>(w.data()), count * 4)) ? w : Words{};
    }
    int32_t open() { return call(kCreate, put(kData + 0x100, "Title"), put(kData + 0x180, "Hint")); }
    int32_t text(int32_t x, int32_t y, uint32_t colour, const std::string& s)
    {
        return call(kText, 1, put(kRecord, Words{uint32_t(x), uint32_t(y), colour, put(kData + 0x1000, s)}));
    }

    void frame_presented(const Framebuffer&, uint64_t) override { }
    void take_keys(std::vector<int32_t>& to) override { to.insert(to.end(), typed.begin(), typed.end()), typed = {}; }
    bool wait_keys(std::vector<int32_t>& to) override
    {
        to.insert(to.end(), waited.begin(), waited.end());
        return ++waits, !std::exchange(waited, {}).empty();
    }

    std::vector<int32_t> typed, waited;
    int waits = 0;
    GuestMemory memory_;
    Window gui_{WindowOptions{}, this};
    CapturedConsole console_;
    Kernel kernel_{KernelOptions{}, console_};
};

// Per row, on a window service made afresh: what --gui-fail refuses, whether a window is open before, the
// call with its first two arguments (a title and hint, or a handle and record), the answer, and the window
// then as "title|hint|attached" ("" for none).  Refusals of both opening calls, and of create before an
// attach: the paneprobe transcripts.  A refused frame call changes nothing.
TEST_F(WindowServiceTest, CallsAnswerForTheFailureTheOpenWindowItsHandleAndTheTexts)
{
    const uint32_t t = put(kData, "T"), h = put(kData + 8, "H"), rec = put(kData + 16, Words{0, 0, 10, 10, ~0u});
    const uint32_t too_long = put(kData + 0x2000, std::string(65536, 'b')), longest = too_long + 1;
    const uint32_t C = kCreate, A = kAttach, none = 0xFFFFFFFF;
    using F = GuiFailure;
    const std::tuple<GuiFailure, bool, uint32_t, uint32_t, uint32_t, int32_t, std::string> rows[]
        = {{F::none, false, C, t, h, 1, "T|H|0"}, {F::none, false, A, t, h, 1, "T|H|1"},
            {F::none, true, C, t, h, -16, "Title|Hint|0"}, {F::none, true, A, t, h, 1, "Title|Hint|0"},
            {F::none, false, C, 0, 0, 1, "||0"}, {F::none, false, C, longest, 0, 1, std::string(65535, 'b') + "||0"},
            {F::none, false, C, too_long, 0, -22, ""}, {F::none, false, C, t, kUnmapped, -14, ""},
            {F::none, false, A, kWriteOnly, 0, -14, ""}, {F::attach, false, C, t, h, 1, "T|H|0"},
            {F::attach, true, A, t, h, -19, "Title|Hint|0"}, {F::none, false, kBegin, 1, rec, -9, ""},
            {F::none, false, kPresent, 1, rec, -9, ""}, {F::none, true, kClear, 0, rec, -9, "Title|Hint|0"},
            {F::none, true, kFill, 2, rec, -9, "Title|Hint|0"}, {F::none, true, kText, none, rec, -9, "Title|Hint|0"},
            {F::none, true, kPresent, 0, rec, -9, "Title|Hint|0"}, {F::none, true, kPoll, 2, rec, -9, "Title|Hint|0"},
            {F::none, true, kWait, none, rec, -9, "Title|Hint|0"}, {F::none, true, kBegin, 1, rec, 0, "Title|Hint|0"}};
    for (const auto& [fail, open_before, number, ebx, ecx, answer, after] : rows) {
        SCOPED_TRACE("row " + std::to_string(&answer - &std::get<5>(rows[0])) + " " + after);
        gui_ = Window({kWindowWidth, kWindowHeight, fail, {}, {}}, this);
        ASSERT_TRUE(!open_before || open() == 1);
        EXPECT_EQ(call(number, ebx, ecx), answer);
        const auto& w = gui_.info();
        EXPECT_EQ(w ? w->title + "|" + w->hint + "|" + std::to_string(w->attached) : "", after);
        EXPECT_EQ(gui_.frames_presented() + gui_.canvas().at(0, 0), 0u);
    }
}

// Per row, over a cleared window: a rectangle {x, y, w, h} filled, or where a text is given, that text drawn
// at {x, y}; one row per way of clipping (an edge, both, none left, a size <= 0, an end past 32 bits).  The
// pixels they must set, computed in 64 bits (for text from the font's glyphs), take the colour and the others
// stay.
TEST_F(WindowServiceTest, FillsAndTextAreClippedToTheWindow)
{
    const Font& font = console_font();
    const std::tuple<int64_t, int64_t, int64_t, int64_t, std::string> rows[]
        = {{-10, -10, 30, 30, ""}, {630, 470, 30, 30, ""}, {-5, 200, 700, 3, ""}, {-50, 100, 50, 10, ""},
            {640, 0, 5, 5, ""}, {0, 480, 5, 5, ""}, {0, -5, 5, 5, ""}, {10, 10, -5, 20, ""}, {10, 10, 20, -5, ""},
            {10, 10, 0, 5, ""}, {INT32_MAX, 0, 10, 10, ""}, {0, INT32_MAX, 10, INT32_MAX, ""},
            {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, ""}, {-5, -5, INT32_MAX, INT32_MAX, ""},
            {100, 100, INT32_MAX, INT32_MAX, ""}, {639, 479, 1, 1, ""}, {INT32_MIN + 1, INT32_MIN + 1, -1, -1, ""},
            {0, 0, 0, 0, "Ag"}, {-4, -9, 0, 0, "Clipped"}, {630, 5, 0, 0, "Right"}, {300, 470, 0, 0, "Bottom"},
            {20, 30, 0, 0, "two\nlines"}, {5, 5, 0, 0, "caf\xe9 \xbd"}, {INT32_MAX, 0, 0, 0, "far"},
            {INT32_MIN, INT32_MIN, 0, 0, "far"}, {INT32_MAX - 8, INT32_MAX - 8, 0, 0, "xy\nz"}, {-8, 0, 0, 0, "AB"}};
    ASSERT_EQ(open(), 1);
    for (const auto& [x, y, w, h, s] : rows) {
        SCOPED_TRACE(::testing::PrintToString(std::tuple(x, y, w, h, s)));
        ASSERT_EQ(call(kClear, 1, put(kRecord, Words{0xFF000010})), 0); // the top byte of a colour is ignored
        std::set<std::pair<int64_t, int64_t>> set;
        for (int64_t cx = x, cy = y, i = 0; i < int64_t(s.size()); cx += s[i++] == '\n' ? x - cx : font.width()) {
            cy += s[i] == '\n' ? font.height() : 0;
            for (int gy = 0; gy < font.height() && s[i] != '\n'; ++gy)
                for (int gx = 0; gx < font.width(); ++gx)
                    if (font.pixel(uint8_t(s[i]), gx, gy))
                        set.insert({cx + gx, cy + gy});
        }
        const Words rect = {uint32_t(x), uint32_t(y), uint32_t(w), uint32_t(h), 0xFFFFB482};
        EXPECT_EQ(s.empty() ? call(kFill, 1, put(kRecord, rect)) : text(int32_t(x), int32_t(y), 0xFFFFB482, s), 0);
        for (int p = 0; p < 640 * 480; ++p) {
            const int px = p % 640, py = p / 640;
            const bool in = w > 0 && h > 0 && px >= x && px < x + w && py >= y && py < y + h;
            ASSERT_EQ(gui_.canvas().at(px, py), in || set.count({px, py}) ? 0xFFB482u : 0x000010u) << px << ", " << py;
        }
    }
}

// Per row a call with its record, the record's size, the answer and, for an event, its key.  Records are
// read (event records written) through the guest's protections: unmapped, write-only, the very top of the
// address space (the records wrap), half past a region's end, into unmapped memory, not readable; a text
// that cannot be read (one too long: the title rows).  Read-only records are fine, and so are records
// across two adjacent regions (x, y in data; w, h, colour in bss).  A bad record keeps the event.
// Scripted keys come in the order given, from their frame on, whether polled then or later; typed keys
// follow them; a wait with nothing pending waits for a typed key.
TEST_F(WindowServiceTest, RecordsAndEventsGoThroughCheckedMemoryKeysComeInTheirFrame)
{
    ASSERT_EQ(open(), 1);
    gui_.set_keys({{3, 'b'}, {1, 'a'}, {3, 'c'}, {5, 0x151}, {6, 'k'}, {6, 'm'}, {6, 'n'}});
    typed = {'t', 'u'};
    waited = {'w'};
    const uint32_t quiet = put(kEvent, Words(7, 0xAAAAAAAA)), last = put(kEvent + 0x40, Words(7, 0xAAAAAAAA));
    const uint32_t ev = kEvent + 0x80, end = kRodata + kPage - 8, bss_end = kBss + kPage - 16;
    const uint32_t unmapped = put(kData, Words{0, 0, 0, kUnmapped});
    const uint32_t P = kPresent, rodata_rect = put(kRodata, Words{1, 2, 3, 4, 0x010203});
    // The answer, or for an event (answer 1) its key.
    const std::tuple<uint32_t, uint32_t, int32_t> rows[]
        = {{kClear, kUnmapped, -14}, {kFill, kWriteOnly, -14}, {kText, 0xFFFFFFF0, -14}, {kFill, end, -14},
            {kFill, bss_end, -14}, {kText, unmapped, -14}, {kClear, end, 0}, {kFill, rodata_rect, 0},
            {kFill, put(kBss - 8, Words{5, 6, 7, 8, 0xABCDEF}), 0}, {kPoll, ev, 'a'}, {kPoll, ev, 't'},
            {kPoll, ev, 'u'}, {kPoll, quiet, 0}, {kWait, ev, 'w'}, {kWait, quiet, 0}, {P, 0, 0}, {kPoll, quiet, 0},
            {P, 0, 0}, {kWait, ev, 'b'}, {kPoll, ev, 'c'}, {P, 0, 0}, {P, 0, 0}, {P, 0, 0}, {kPoll, kRodata, -14},
            {kPoll, bss_end, -14}, {kPoll, ev, 0x151}, {kPoll, kWriteOnly, 'k'}, {kPoll, kBss - 8, 'm'}};
    for (const auto& [number, record, answer] : rows) {
        SCOPED_TRACE("row " + std::to_string(&answer - &std::get<2>(rows[0])));
        EXPECT_EQ(call(number, 1, record), std::min(answer, 1));
        if (answer > 1) {
            EXPECT_EQ(words(record, 2), (Words{GUI_EVENT_KEY, uint32_t(answer)}));
        }
    }
    // The size of an event record: at least 20; exactly 20 bytes are written.
    EXPECT_EQ((std::tuple{call(kPoll, 1, quiet, 19), call(kPoll, 1, quiet, 0), call(kPoll, 1, last, 4096)}),
        std::tuple(-22, -22, 1));
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(words(quiet, 7), Words(7, 0xAAAAAAAA)); // no event, or a refused record: nothing written
    EXPECT_EQ(words(last, 7), (Words{1, 'n', 0, 0, 0, 0xAAAAAAAA, 0xAAAAAAAA})); // exactly 20 bytes
    Framebuffer want(640, 480);
    want.fill_rect(1, 2, 3, 4, 0x010203), want.fill_rect(5, 6, 7, 8, 0xABCDEF);
    EXPECT_TRUE(gui_.canvas() == want);
}

// The glyphs come from the configured file, in order, rows top down and the high bit leftmost: shapes
// that a shifted glyph, row or bit order would change.  Control characters show the replacement glyph.
TEST(ConsoleFont, GlyphsHaveTheirShapesAndControlCharactersTheReplacement)
{
    const Font& font = console_font();
    const int w = font.width(), h = font.height();
    ASSERT_TRUE(w >= 6 && h >= 8) << w << "x" << h;
    // Whether a glyph sets any pixel in rows [y0, y1) and columns [x0, x1) of its cell: ' ' is empty, '_'
    // low, '^' high, 'L' has its stem on the left, 'J' on the right, '.' nothing above the middle.
    const std::tuple<uint8_t, int, int, int, int, bool> rows[] = {{' ', 0, h, 0, w, false}, {'_', 0, h, 0, w, true},
        {'_', 0, h * 2 / 3, 0, w, false}, {'^', 0, h / 2, 0, w, true}, {'^', h / 2, h, 0, w, false},
        {'L', 0, h / 2, 0, w / 2, true}, {'L', 0, h / 2, w / 2, w, false}, {'J', 0, h / 2, w / 2, w, true},
        {'.', 0, h / 2, 0, w, false}, {0x01, 0, h, 0, w, true}};
    for (const auto& [ch, y0, y1, x0, x1, set] : rows) {
        bool any = false;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                any |= font.pixel(ch, x, y);
        EXPECT_EQ(any, set) << ch << " in rows " << y0 << "-" << y1 << ", columns " << x0 << "-" << x1;
    }
    EXPECT_FALSE(font.has_glyph(0x01) || font.has_glyph(0x7F) || !font.has_glyph('~'));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(font.pixel(0x01, x, y), font.pixel(0x9F, x, y)) << x << ", " << y;
}

// Per step, against a model of two frames: c clear, f fill a pixel, t text, b begin, p present; each
// draws in a colour of its own.  Then a reset forgets the window.
TEST_F(WindowServiceTest, PresentHandsOnTheFrameWhichStaysWhileTheNextIsDrawnResetForgetsAll)
{
    ASSERT_EQ(open(), 1);
    Framebuffer canvas(640, 480), shown(640, 480);
    const std::string steps = "cpfbpcfpcpftpcpcfcptcp";
    for (size_t i = 0, frames = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const uint32_t colour = 0x0A0B0C * uint32_t(i + 1) + 0xFF000000;
        int32_t answer = 0;
        switch (steps[i]) {
        case 'c': canvas.clear(colour), answer = call(kClear, 1, put(kRecord, Words{colour})); break;
        case 'f':
            canvas.fill_rect(0, 0, 1, 1, colour), answer = call(kFill, 1, put(kRecord, Words{0, 0, 1, 1, colour}));
            break;
        case 't': canvas.draw_text(0, 0, colour, "x", console_font()), answer = text(0, 0, colour, "x"); break;
        case 'b': answer = call(kBegin); break; // clears nothing
        case 'p': shown = canvas, ++frames, answer = call(kPresent);
        }
        EXPECT_EQ(std::pair(answer, gui_.frames_presented()), std::pair(0, uint64_t(frames)));
        EXPECT_TRUE(gui_.canvas() == canvas && gui_.presented() == shown);
    }
    gui_.push_event({GUI_EVENT_KEY, 'x', {}});
    gui_.reset();
    EXPECT_FALSE(gui_.info());
    EXPECT_EQ(gui_.frames_presented() + gui_.events_pending(), 0u);
    EXPECT_EQ(call(kPresent), -9);
    EXPECT_EQ(open(), 1);
}

// Each key as frame:code.
TEST(WindowOptions, KeyListsGiveFramesAndCodesOrAreRefused)
{
    std::string got;
    for (const ScriptedKey& k :
        parse_keys("200:q,1:Q,300:Escape,3:esc,4:0x3B,4:0x151,5:27,5:7,6:Enter,6:space,7:,,7::,5:a"))
        got += std::to_string(k.frame) + ":" + std::to_string(k.code) + " ";
    EXPECT_EQ(got, "200:113 1:81 300:27 3:27 4:59 4:337 5:27 5:55 6:10 6:32 7:44 7:58 5:97 ");
    for (std::string_view bad : {"", "q", ":q", "0:q", "x:q", "5:", "5:Nope", "5:q,", "-1:q", "5:0x", "5:99999999999"})
        EXPECT_THROW(parse_keys(bad), UsageError) << bad;
}

} // namespace
} // namespace vekos::test
