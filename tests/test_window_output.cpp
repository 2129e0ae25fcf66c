// What vekos-run makes of frames: GIF recordings and PNG screenshots read
// back, and the terminal view's bytes, keys and status line.
#include "cli/output_file.h"
#include "harness.h"
#include "window/display_terminal.h"
#include "window/record_gif.h"
#include "window/record_png.h"
#include "window_files.h"
#include "window_harness.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstring>

namespace vekos::test {
namespace {

std::vector<int> box(const GifFileType* g, int i)
{
    const GifImageDesc& d = g->SavedImages[i].ImageDesc;
    return {d.Left, d.Top, d.Width, d.Height};
}

DecodedGif record(const std::string& path, const std::vector<Framebuffer>& frames)
{
    OutputFile out("--record", path);
    GifRecorder gif(out, 640, 480);
    for (const Framebuffer& f : frames)
        gif.add(f);
    EXPECT_EQ(gif.frames(), frames.size());
    gif.close();
    out.commit();
    return decode_gif(path);
}

TEST(GifRecording, FramesDecodeToWhatWasPresentedStoringOnlyWhatChanged)
{
    TempDir dir;
    const std::vector<Framebuffer> frames = {paneprobe_frame(82), paneprobe_frame(84), paneprobe_frame(84)};
    DecodedGif decoded = record(dir / "a.gif", frames);
    ASSERT_TRUE(decoded.gif);
    GifFileType* g = decoded.gif.get();
    EXPECT_EQ(slurp(dir / "a.gif").substr(0, 10), std::string("GIF89a\x80\x02\xe0\x01", 10)); // 640 x 480
    ASSERT_EQ(decoded.frames.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(decoded.frames[i] == frames[i]) << "frame " << i + 1;
        GraphicsControlBlock control;
        ASSERT_EQ(DGifSavedExtensionToGCB(g, int(i), &control), GIF_OK);
        EXPECT_EQ(std::tuple(control.DelayTime, control.DisposalMode, control.TransparentColor),
            std::tuple(2, DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR)); // 16 ms is written as 2 hundredths
    }
    // The first frame whole, then the rectangle's box, then one pixel for the unchanged frame.
    EXPECT_EQ(box(g, 0), (std::vector<int>{0, 0, 640, 480}));
    EXPECT_EQ(box(g, 1), (std::vector<int>{82, 90, 142, 90}));
    EXPECT_EQ(box(g, 2)[2] * box(g, 2)[3], 1);
    EXPECT_EQ(g->SavedImages[0].ImageDesc.ColorMap->ColorCount, 4); // its three colours, exactly
    const ExtensionBlock* b = g->SavedImages[0].ExtensionBlocks;     // loops for ever: NETSCAPE2.0, count 0
    ASSERT_GE(g->SavedImages[0].ExtensionBlockCount, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b[0].Bytes), 11) + std::string(reinterpret_cast<char*>(b[1].Bytes), 3),
        std::string("NETSCAPE2.0\1\0\0", 14));
}

TEST(GifRecording, ManyColoursAreReducedTo256Closely)
{
    TempDir dir;
    Framebuffer f(640, 480, 0x000000);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            f.fill_rect(100 + x, 100 + y, 1, 1, uint32_t(x * 4) << 16 | uint32_t(y * 4) << 8 | 0x80);
    DecodedGif decoded = record(dir / "b.gif", {Framebuffer(640, 480, 0), f});
    ASSERT_EQ(decoded.frames.size(), 2u);
    EXPECT_EQ(box(decoded.gif.get(), 1), (std::vector<int>{100, 100, 64, 64}));
    EXPECT_EQ(decoded.gif->SavedImages[1].ImageDesc.ColorMap->ColorCount, 256);
    int worst = 0; // giflib's median cut works on 5 bits a channel: close, not exact
    for (int y = 100; y < 164; ++y)
        for (int x = 100; x < 164; ++x)
            for (int shift : {16, 8, 0})
                worst = std::max(worst,
                    std::abs(int(f.at(x, y) >> shift & 0xFF) - int(decoded.frames[1].at(x, y) >> shift & 0xFF)));
    EXPECT_LE(worst, 40);
}

TEST(Screenshot, APngDecodesToTheFrameAndAWrongSizeFrameIsRefused)
{
    TempDir dir;
    Framebuffer frame = paneprobe_frame(200);
    frame.fill_rect(639, 479, 1, 1, 0x010203);
    OutputFile out("--screenshot", dir / "s.png");
    write_png(out, frame);
    out.commit();
    const auto decoded = read_png(dir / "s.png");
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(*decoded == frame);
    OutputFile gif_out("--record", dir / "c.gif");
    GifRecorder gif(gif_out, 640, 480);
    EXPECT_THROW(gif.add(Framebuffer(10, 10)), std::invalid_argument);
}

const std::string kBlock = "\xe2\x96\x80";

Framebuffer pixels(int width, int height, const std::vector<uint32_t>& colours)
{
    Framebuffer f(width, height);
    for (size_t i = 0; i < colours.size(); ++i)
        f.fill_rect(int(i) % width, int(i) / width, 1, 1, colours[i]);
    return f;
}

TEST(TerminalView, EachCellIsTwoPixelsInTrueColourAndOnlyChangesAreSent)
{
    Framebuffer f = pixels(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF});
    HalfBlockRenderer r;
    EXPECT_EQ(r.render(f, 10, 3),
        "\x1b[0m\x1b[2J\x1b[1;5H\x1b[38;2;255;0;0m\x1b[48;2;0;0;255m" + kBlock
            + "\x1b[38;2;0;255;0m\x1b[48;2;255;255;255m" + kBlock + "\x1b[0m");
    EXPECT_EQ(r.render(f, 10, 3), "");
    f.fill_rect(1, 1, 1, 1, 0x000000);
    EXPECT_EQ(r.render(f, 10, 3), "\x1b[1;6H\x1b[38;2;0;255;0m\x1b[48;2;0;0;0m" + kBlock + "\x1b[0m");
    EXPECT_EQ(r.render(f, 12, 3).substr(0, 14), "\x1b[0m\x1b[2J\x1b[1;6H"); // another size: all again
    // Large frames are averaged down to fit, keeping their shape.
    EXPECT_EQ(HalfBlockRenderer().render(pixels(4, 2, {0x100000, 0x300000, 0xFFFFFF, 0xFFFFFF, 0x000010, 0x000030,
                                                          0xFFFFFF, 0xFFFFFF}),
                  2, 2),
        "\x1b[0m\x1b[2J\x1b[1;1H\x1b[38;2;16;0;16m\x1b[48;2;0;0;0m" + kBlock + "\x1b[38;2;255;255;255m" + kBlock
            + "\x1b[0m");
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 80, 24), (std::pair<int, int>{61, 46}));
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 1000, 500), (std::pair<int, int>{640, 480}));
}

TEST(TerminalView, TypedBytesBecomeKeyCodes)
{
    const std::vector<std::pair<std::string_view, std::vector<int32_t>>> rows = {{"qQ", {'q', 'Q'}}, {"\x1b", {27}},
        {"a\x1b", {'a', 27}}, {"\x1b\x1b", {27, 27}}, {"\x1b[A\x1b[1;5C", {}}, {"\x1bOPx", {'x'}}, {"\x1b[3~", {0x7F}},
        {"\x1bq", {27, 'q'}}, {"\r\x7f\t", {'\n', '\b', '\t'}}, {"\xc3\xa9\xe2\x82\xac", {0xE9, 0x20AC}},
        {std::string_view("\x03\x00", 2), {3, 0}}};
    for (const auto& [bytes, keys] : rows) {
        std::vector<int32_t> got;
        TerminalKeyDecoder().feed(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), got);
        EXPECT_EQ(got, keys) << bytes;
    }
}

TEST(TerminalView, GuestTextIsShownEscapedAndCutByCharacters)
{
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain \xe2\x80\x94 text", "plain \xe2\x80\x94 text"}, // UTF-8 stays
        {"a\tb\x7f", "a\\x09b\\x7f"},                           // C0 and DEL
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},                    // C1 CSI, as UTF-8
        {"\xff\xc0\x80", "\\xff\\xc0\\x80"},                    // not UTF-8, overlong
        {"\xe2\x82", "\\xe2\\x82"},                             // cut short
        {"\x1b]2;t\x07", "\\x1b]2;t\\x07"},                     // a title sequence
    };
    for (const auto& [text, shown] : rows)
        EXPECT_EQ(terminal_safe(text, 80), shown) << shown;
    EXPECT_EQ(terminal_safe("abcdef", 4), "abcd");
    EXPECT_EQ(terminal_safe("ab\x1b", 5), "ab"); // an escape is not cut in half
}

} // namespace
} // namespace vekos::test
