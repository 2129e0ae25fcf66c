// What vekos-run makes of frames: GIF recordings read back, and the terminal
// view's bytes, keys and status line (screenshots: test_vekos_run.cpp).
#include "cli/output_file.h"
#include "harness.h"
#include "window/display_terminal.h"
#include "window/record_gif.h"
#include "window_harness.h"

namespace vekos::test {
namespace {

using namespace std::string_literals;

// Frames of paneprobe, one of them unchanged, and a black one: each decodes to what was presented and
// shows for 2 hundredths, drawn over the one before; the whole loops for ever (NETSCAPE2.0, count 0).  An
// unchanged frame stores a single pixel, a changed one the box that changed.  A frame of another size is refused.
TEST(GifRecording, FramesDecodeToWhatWasPresentedStoringOnlyWhatChanged)
{
    TempDir dir;
    const std::vector<Framebuffer> frames
        = {paneprobe_frame(82), paneprobe_frame(84), paneprobe_frame(84), Framebuffer(640, 480)};
    OutputFile out("--record", dir / "a.gif");
    GifRecorder gif(out, 640, 480);
    for (const Framebuffer& f : frames)
        gif.add(f);
    EXPECT_THROW(gif.add(Framebuffer(10, 10)), std::invalid_argument);
    gif.close();
    out.commit();
    const DecodedGif decoded = decode_gif(dir / "a.gif");
    ASSERT_EQ(decoded.frames.size(), frames.size());
    for (int i = 0; i < int(frames.size()); ++i) {
        GraphicsControlBlock control;
        ASSERT_EQ(DGifSavedExtensionToGCB(decoded.gif.get(), i, &control), GIF_OK);
        EXPECT_EQ(std::tuple(control.DelayTime, control.DisposalMode, control.TransparentColor),
            std::tuple(2, DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR))
            << "frame " << i;
        EXPECT_TRUE(decoded.frames[i] == frames[i]) << "frame " << i;
    }
    // The rectangle moved 2 pixels: a box of 142 x 90 stored; then nothing changed: one pixel.
    const GifImageDesc &moved = decoded.gif->SavedImages[1].ImageDesc, &same = decoded.gif->SavedImages[2].ImageDesc;
    EXPECT_EQ(std::tuple(moved.Left, moved.Width, moved.Height, same.Width * same.Height), std::tuple(82, 142, 90, 1));
    const auto* loop = decoded.gif->SavedImages[0].ExtensionBlocks;
    ASSERT_GE(decoded.gif->SavedImages[0].ExtensionBlockCount, 2);
    EXPECT_EQ(std::string((char*)loop[0].Bytes, 11) + std::string((char*)loop[1].Bytes, 3), "NETSCAPE2.0\1\0\0"s);
}

Framebuffer pixels(int width, int height, const std::vector<uint32_t>& colours)
{
    Framebuffer f(width, height);
    for (size_t i = 0; i < colours.size(); ++i)
        f.fill_rect(int(i) % width, int(i) / width, 1, 1, colours[i]);
    return f;
}

// A cell is an upper half block (U+2580) in the colour of the upper pixel over the colour of the lower one;
// the frame is centred; large frames are averaged down to fit, keeping their shape.
TEST(TerminalView, EachCellIsTwoPixelsInTrueColourAndOnlyChangesAreSent)
{
    Framebuffer f = pixels(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF});
    HalfBlockRenderer r;
    EXPECT_EQ(r.render(f, 10, 3),
        "\x1b[0m\x1b[2J\x1b[1;5H\x1b[38;2;255;0;0m\x1b[48;2;0;0;255m\u2580"
        "\x1b[38;2;0;255;0m\x1b[48;2;255;255;255m\u2580\x1b[0m");
    EXPECT_EQ(r.render(f, 10, 3), "");
    f.fill_rect(1, 1, 1, 1, 0x000000);
    EXPECT_EQ(r.render(f, 10, 3), "\x1b[1;6H\x1b[38;2;0;255;0m\x1b[48;2;0;0;0m\u2580\x1b[0m");
    EXPECT_EQ(r.render(f, 12, 3).substr(0, 14), "\x1b[0m\x1b[2J\x1b[1;6H"); // another size: all again
    const Framebuffer wide = pixels(4, 2, {0x100000, 0x300000, ~0u, ~0u, 0x000010, 0x000030, ~0u, ~0u});
    EXPECT_EQ(HalfBlockRenderer().render(wide, 2, 2),
        "\x1b[0m\x1b[2J\x1b[1;1H\x1b[38;2;16;0;16m\x1b[48;2;0;0;0m"
        "\u2580\x1b[38;2;255;255;255m\u2580\x1b[0m");
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 80, 24), (std::pair<int, int>{61, 46}));
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 1000, 500), (std::pair<int, int>{640, 480}));
}

TEST(TerminalView, TypedBytesBecomeKeyCodes)
{
    const std::vector<std::pair<std::string_view, std::vector<int32_t>>> rows
        = {{"qQ", {'q', 'Q'}}, {"\x1b", {27}}, {"a\x1b", {'a', 27}}, {"\x1b\x1b", {27, 27}}, {"\x1b[A\x1b[1;5C", {}},
            {"\x1bOPx", {'x'}}, {"\x1b[3~", {0x7F}}, {"\x1bq", {27, 'q'}}, {"\r\x7f\t", {'\n', '\b', '\t'}},
            {"\xc3\xa9\xe2\x82\xac", {0xE9, 0x20AC}}, {std::string_view("\x03\x00", 2), {3, 0}}};
    for (const auto& [bytes, keys] : rows) {
        std::vector<int32_t> got;
        TerminalKeyDecoder().feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, got);
        EXPECT_EQ(got, keys) << bytes;
    }
}

// UTF-8 stays; C0 and DEL, C1 (CSI, as UTF-8), bytes that are not UTF-8 (overlong, cut short) and so a
// title sequence are shown as \xNN.
TEST(TerminalView, GuestTextIsShownEscapedAndCutByCharacters)
{
    const std::vector<std::pair<std::string, std::string>> rows
        = {{"plain \u2014 text", "plain \u2014 text"}, {"a\tb\x7f", "a\\x09b\\x7f"}, {"\xc2\x9bm", "\\xc2\\x9bm"},
            {"\xff\xc0\x80", "\\xff\\xc0\\x80"}, {"\xe2\x82", "\\xe2\\x82"}, {"\x1b]2;t\x07", "\\x1b]2;t\\x07"}};
    for (const auto& [text, shown] : rows)
        EXPECT_EQ(terminal_safe(text, 80), shown) << shown;
    EXPECT_EQ(terminal_safe("abcdef", 4), "abcd");
    EXPECT_EQ(terminal_safe("ab\x1b", 5), "ab"); // an escape is not cut in half
}

} // namespace
} // namespace vekos::test
