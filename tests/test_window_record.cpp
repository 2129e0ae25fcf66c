// What vekos-run makes of frames: GIF recordings, PNG screenshots, and the
// terminal view's bytes and keys.
#include "display_terminal.h"
#include "font.h"
#include "framebuffer.h"
#include "record_gif.h"
#include "record_png.h"
#include "window_files.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

TEST(GifRecording, FramesDecodeToExactlyWhatWasPresented)
{
    TempDir dir;
    const std::vector<Framebuffer> frames = {paneprobe_frame(82), paneprobe_frame(84), paneprobe_frame(84),
                                             paneprobe_frame(422)};
    {
        GifRecorder gif(dir / "a.gif", 640, 480);
        for (const Framebuffer& f : frames)
            gif.add(f);
        EXPECT_EQ(gif.frames(), 4u);
        gif.close();
    }
    std::ifstream in(dir / "a.gif", std::ios::binary);
    char head[10];
    in.read(head, sizeof head);
    EXPECT_EQ(std::string(head, 6), "GIF89a");
    EXPECT_EQ(uint8_t(head[6]) | uint8_t(head[7]) << 8, 640);
    EXPECT_EQ(uint8_t(head[8]) | uint8_t(head[9]) << 8, 480);

    DecodedGif decoded = decode_gif(dir / "a.gif");
    ASSERT_TRUE(decoded.gif);
    GifFileType* g = decoded.gif.get();
    ASSERT_EQ(g->ImageCount, 4);
    ASSERT_EQ(decoded.frames.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(decoded.frames[i] == frames[i]) << "frame " << i + 1;
        GraphicsControlBlock control;
        ASSERT_EQ(DGifSavedExtensionToGCB(g, int(i), &control), GIF_OK);
        EXPECT_EQ(control.DelayTime, 2) << "16 ms is written as 2 hundredths";
        EXPECT_EQ(control.DisposalMode, DISPOSE_DO_NOT);
        EXPECT_EQ(control.TransparentColor, NO_TRANSPARENT_COLOR);
    }
    // Only what changed is stored: the first frame whole, then the rectangle's
    // two edge strips' box, then one pixel for the unchanged frame.
    const GifImageDesc& d1 = g->SavedImages[0].ImageDesc;
    EXPECT_EQ((std::vector<int>{d1.Left, d1.Top, d1.Width, d1.Height}), (std::vector<int>{0, 0, 640, 480}));
    const GifImageDesc& d2 = g->SavedImages[1].ImageDesc;
    EXPECT_EQ((std::vector<int>{d2.Left, d2.Top, d2.Width, d2.Height}), (std::vector<int>{82, 90, 142, 90}));
    const GifImageDesc& d3 = g->SavedImages[2].ImageDesc;
    EXPECT_EQ(d3.Width * d3.Height, 1);
    // The exact colours: three, in a table of four.
    ASSERT_NE(d1.ColorMap, nullptr);
    EXPECT_EQ(d1.ColorMap->ColorCount, 4);
    // It loops for ever: NETSCAPE2.0 with a loop count of 0.
    bool loops = false;
    const SavedImage& first = g->SavedImages[0];
    for (int i = 0; i + 1 < first.ExtensionBlockCount; ++i) {
        const ExtensionBlock& b = first.ExtensionBlocks[i];
        if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 &&
            std::memcmp(b.Bytes, "NETSCAPE2.0", 11) == 0) {
            const ExtensionBlock& data = first.ExtensionBlocks[i + 1];
            loops = data.ByteCount == 3 && data.Bytes[0] == 1 && data.Bytes[1] == 0 && data.Bytes[2] == 0;
        }
    }
    EXPECT_TRUE(loops);
}

TEST(GifRecording, ManyColoursAreReducedTo256)
{
    TempDir dir;
    Framebuffer f(640, 480, 0x000000);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            f.fill_rect(100 + x, 100 + y, 1, 1, uint32_t(x * 4) << 16 | uint32_t(y * 4) << 8 | 0x80);
    {
        GifRecorder gif(dir / "b.gif", 640, 480);
        gif.add(Framebuffer(640, 480, 0));
        gif.add(f);
        gif.close();
    }
    DecodedGif decoded = decode_gif(dir / "b.gif");
    ASSERT_EQ(decoded.frames.size(), 2u);
    const GifImageDesc& d = decoded.gif->SavedImages[1].ImageDesc;
    EXPECT_EQ((std::vector<int>{d.Left, d.Top, d.Width, d.Height}), (std::vector<int>{100, 100, 64, 64}));
    ASSERT_NE(d.ColorMap, nullptr);
    EXPECT_EQ(d.ColorMap->ColorCount, 256);
    // giflib's median cut works on 5 bits a channel: close, not exact.
    int worst = 0;
    double total = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const uint32_t a = f.at(x, y), b = decoded.frames[1].at(x, y);
            for (int shift : {16, 8, 0}) {
                const int e = std::abs(int(a >> shift & 0xFF) - int(b >> shift & 0xFF));
                worst = std::max(worst, e);
                total += e;
            }
        }
    EXPECT_LE(worst, 40);
    EXPECT_LE(total / (64 * 64 * 3), 8.0);
    EXPECT_EQ(decoded.frames[1].at(0, 0), 0u);
}

TEST(GifRecording, AFileThatCannotBeCreatedIsNamed)
{
    try {
        GifRecorder gif("/nonexistent-dir/x.gif", 640, 480);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("--record /nonexistent-dir/x.gif"), std::string::npos) << e.what();
    }
}

TEST(GifRecording, AFrameOfAnotherSizeIsRefused)
{
    TempDir dir;
    GifRecorder gif(dir / "c.gif", 640, 480);
    EXPECT_THROW(gif.add(Framebuffer(10, 10)), std::invalid_argument);
}

// ---- PNG ---------------------------------------------------------------------------

TEST(PngScreenshot, DecodesToTheFrame)
{
    TempDir dir;
    Framebuffer frame = paneprobe_frame(200);
    frame.fill_rect(639, 479, 1, 1, 0x010203);
    write_png(dir / "s.png", frame);
    const auto decoded = read_png(dir / "s.png");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 640);
    EXPECT_EQ(decoded->height(), 480);
    EXPECT_TRUE(*decoded == frame);
    EXPECT_EQ(decoded->at(639, 479), 0x010203u);
}

TEST(PngScreenshot, AFileThatCannotBeWrittenIsNamed)
{
    try {
        write_png("/nonexistent-dir/s.png", Framebuffer(4, 4));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("--screenshot /nonexistent-dir/s.png"), std::string::npos) << e.what();
    }
}

// ---- Terminal view -----------------------------------------------------------------

const std::string kBlock = "\xe2\x96\x80";

TEST(TerminalView, EachCellIsTwoPixelsInTrueColour)
{
    Framebuffer f(2, 2);
    f.fill_rect(0, 0, 1, 1, 0xFF0000);
    f.fill_rect(1, 0, 1, 1, 0x00FF00);
    f.fill_rect(0, 1, 1, 1, 0x0000FF);
    f.fill_rect(1, 1, 1, 1, 0xFFFFFF);
    HalfBlockRenderer r;
    EXPECT_EQ(r.render(f, 10, 3), "\x1b[0m\x1b[2J\x1b[1;5H\x1b[38;2;255;0;0m\x1b[48;2;0;0;255m" + kBlock +
                                      "\x1b[38;2;0;255;0m\x1b[48;2;255;255;255m" + kBlock + "\x1b[0m");
    EXPECT_EQ(r.render(f, 10, 3), "");  // nothing changed, nothing sent
    f.fill_rect(1, 1, 1, 1, 0x000000);
    EXPECT_EQ(r.render(f, 10, 3), "\x1b[1;6H\x1b[38;2;0;255;0m\x1b[48;2;0;0;0m" + kBlock + "\x1b[0m");
    // Another terminal size: everything again.
    EXPECT_EQ(r.render(f, 12, 3).substr(0, 14), "\x1b[0m\x1b[2J\x1b[1;6H");
    r.invalidate();
    EXPECT_EQ(r.render(f, 12, 3).substr(0, 8), "\x1b[0m\x1b[2J");
}

TEST(TerminalView, LargeFramesAreAveragedDownToFit)
{
    Framebuffer f(4, 2, 0xFFFFFF);
    f.fill_rect(0, 0, 1, 1, 0x100000);
    f.fill_rect(1, 0, 1, 1, 0x300000);
    f.fill_rect(0, 1, 1, 1, 0x000010);
    f.fill_rect(1, 1, 1, 1, 0x000030);
    HalfBlockRenderer r;
    // Two columns, one row for the picture: 2x1 shown pixels, the lower halves black.
    EXPECT_EQ(r.render(f, 2, 2), "\x1b[0m\x1b[2J\x1b[1;1H\x1b[38;2;16;0;16m\x1b[48;2;0;0;0m" + kBlock +
                                     "\x1b[38;2;255;255;255m" + kBlock + "\x1b[0m");
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 80, 24), (std::pair<int, int>{61, 46}));
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 1000, 500), (std::pair<int, int>{640, 480}));
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 320, 500), (std::pair<int, int>{320, 240}));
}

TEST(TerminalView, ThePaneprobeRectangleKeepsItsColour)
{
    HalfBlockRenderer r;
    const std::string out = r.render(paneprobe_frame(82), 80, 24);
    EXPECT_NE(out.find("\x1b[38;2;255;180;130m"), std::string::npos);
    EXPECT_NE(out.find("\x1b[38;2;30;30;30m"), std::string::npos);
}

std::vector<int32_t> keys_of(std::string_view bytes)
{
    TerminalKeyDecoder d;
    std::vector<int32_t> keys;
    d.feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), keys);
    return keys;
}

TEST(TerminalKeys, BytesBecomeKeyCodes)
{
    EXPECT_EQ(keys_of("qQ"), (std::vector<int32_t>{'q', 'Q'}));
    EXPECT_EQ(keys_of("\x1b"), (std::vector<int32_t>{27}));
    EXPECT_EQ(keys_of("a\x1b"), (std::vector<int32_t>{'a', 27}));
    EXPECT_EQ(keys_of("\x1b\x1b"), (std::vector<int32_t>{27, 27}));
    EXPECT_EQ(keys_of("\x1b[A\x1b[1;5C"), (std::vector<int32_t>{}));
    EXPECT_EQ(keys_of("\x1bOPx"), (std::vector<int32_t>{'x'}));
    EXPECT_EQ(keys_of("\x1b[3~"), (std::vector<int32_t>{0x7F}));
    EXPECT_EQ(keys_of("\x1bq"), (std::vector<int32_t>{27, 'q'}));
    EXPECT_EQ(keys_of("\r\x7f\t"), (std::vector<int32_t>{'\n', '\b', '\t'}));
    EXPECT_EQ(keys_of("\xc3\xa9\xe2\x82\xac"), (std::vector<int32_t>{0xE9, 0x20AC}));
    EXPECT_EQ(keys_of(std::string_view("\x03\x00", 2)), (std::vector<int32_t>{3, 0}));
}

} // namespace
} // namespace vekos::test
