// What vekos-run makes of frames: GIF recordings, PNG screenshots, and the
// terminal view's bytes and keys.
#include "window/display_terminal.h"
#include "window/framebuffer.h"
#include "window/record_gif.h"
#include "window/record_png.h"
#include "window_files.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

// Where image `i` of a GIF goes: left, top, width, height.
std::vector<int> box(const GifFileType* g, int i)
{
    const GifImageDesc& d = g->SavedImages[i].ImageDesc;
    return {d.Left, d.Top, d.Width, d.Height};
}

// The frames recorded to `path` and decoded again.
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

TEST(GifRecording, FramesDecodeToExactlyWhatWasPresented)
{
    TempDir dir;
    const std::vector<Framebuffer> frames
        = {paneprobe_frame(82), paneprobe_frame(84), paneprobe_frame(84), paneprobe_frame(422)};
    DecodedGif decoded = record(dir / "a.gif", frames);
    std::ifstream in(dir / "a.gif", std::ios::binary);
    std::string head(10, '\0');
    in.read(head.data(), 10);
    EXPECT_EQ(head, std::string("GIF89a\x80\x02\xe0\x01", 10)); // 640 x 480
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
    EXPECT_EQ(box(g, 0), (std::vector<int>{0, 0, 640, 480}));
    EXPECT_EQ(box(g, 1), (std::vector<int>{82, 90, 142, 90}));
    EXPECT_EQ(box(g, 2)[2] * box(g, 2)[3], 1);
    const SavedImage& first = g->SavedImages[0];
    ASSERT_NE(first.ImageDesc.ColorMap, nullptr);
    EXPECT_EQ(first.ImageDesc.ColorMap->ColorCount, 4); // the exact three colours
    // It loops for ever: NETSCAPE2.0 with a loop count of 0.
    bool loops = false;
    for (int i = 0; i + 1 < first.ExtensionBlockCount; ++i) {
        const ExtensionBlock &b = first.ExtensionBlocks[i], &data = first.ExtensionBlocks[i + 1];
        if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 && !std::memcmp(b.Bytes, "NETSCAPE2.0", 11))
            loops = data.ByteCount == 3 && !std::memcmp(data.Bytes, "\1\0\0", 3);
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
    DecodedGif decoded = record(dir / "b.gif", {Framebuffer(640, 480, 0), f});
    ASSERT_EQ(decoded.frames.size(), 2u);
    EXPECT_EQ(box(decoded.gif.get(), 1), (std::vector<int>{100, 100, 64, 64}));
    const GifImageDesc& d = decoded.gif->SavedImages[1].ImageDesc;
    ASSERT_NE(d.ColorMap, nullptr);
    EXPECT_EQ(d.ColorMap->ColorCount, 256);
    // giflib's median cut works on 5 bits a channel: close, not exact.
    int worst = 0;
    double total = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            for (int shift : {16, 8, 0}) {
                const int e
                    = std::abs(int(f.at(x, y) >> shift & 0xFF) - int(decoded.frames[1].at(x, y) >> shift & 0xFF));
                worst = std::max(worst, e);
                total += e;
            }
    EXPECT_LE(worst, 40);
    EXPECT_LE(total / (64 * 64 * 3), 8.0);
    EXPECT_EQ(decoded.frames[1].at(0, 0), 0u);
}

TEST(PngScreenshot, DecodesToTheFrame)
{
    TempDir dir;
    Framebuffer frame = paneprobe_frame(200);
    frame.fill_rect(639, 479, 1, 1, 0x010203);
    OutputFile out("--screenshot", dir / "s.png");
    write_png(out, frame);
    out.commit();
    const auto decoded = read_png(dir / "s.png");
    ASSERT_TRUE(decoded);
    EXPECT_EQ((std::pair{decoded->width(), decoded->height()}), (std::pair{640, 480}));
    EXPECT_TRUE(*decoded == frame);
    EXPECT_EQ(decoded->at(639, 479), 0x010203u);
}

TEST(Recording, FilesThatCannotBeWrittenAreNamedFramesOfAnotherSizeRefused)
{
    const std::vector<std::pair<std::function<void()>, std::string>> rows
        = {{[] { OutputFile("--record", "/nonexistent-dir/x.gif"); }, "--record /nonexistent-dir/x.gif"},
            {[] { OutputFile("--screenshot", "/nonexistent-dir/s.png"); }, "--screenshot /nonexistent-dir/s.png"}};
    for (const auto& [make, name] : rows) {
        try {
            make();
            ADD_FAILURE() << "no error for " << name;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
    TempDir dir;
    OutputFile out("--record", dir / "c.gif");
    GifRecorder gif(out, 640, 480);
    EXPECT_THROW(gif.add(Framebuffer(10, 10)), std::invalid_argument);
}

const std::string kBlock = "\xe2\x96\x80";

// A frame of these pixels, row by row.
Framebuffer pixels(int width, int height, const std::vector<uint32_t>& colours)
{
    Framebuffer f(width, height);
    for (size_t i = 0; i < colours.size(); ++i)
        f.fill_rect(int(i) % width, int(i) / width, 1, 1, colours[i]);
    return f;
}

TEST(TerminalView, EachCellIsTwoPixelsInTrueColour)
{
    Framebuffer f = pixels(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF});
    HalfBlockRenderer r;
    EXPECT_EQ(r.render(f, 10, 3),
        "\x1b[0m\x1b[2J\x1b[1;5H\x1b[38;2;255;0;0m\x1b[48;2;0;0;255m" + kBlock
            + "\x1b[38;2;0;255;0m\x1b[48;2;255;255;255m" + kBlock + "\x1b[0m");
    EXPECT_EQ(r.render(f, 10, 3), ""); // nothing changed, nothing sent
    f.fill_rect(1, 1, 1, 1, 0x000000);
    EXPECT_EQ(r.render(f, 10, 3), "\x1b[1;6H\x1b[38;2;0;255;0m\x1b[48;2;0;0;0m" + kBlock + "\x1b[0m");
    // Another terminal size: everything again.
    EXPECT_EQ(r.render(f, 12, 3).substr(0, 14), "\x1b[0m\x1b[2J\x1b[1;6H");
    r.invalidate();
    EXPECT_EQ(r.render(f, 12, 3).substr(0, 8), "\x1b[0m\x1b[2J");
}

TEST(TerminalView, LargeFramesAreAveragedDownToFitKeepingUniformColours)
{
    const Framebuffer f
        = pixels(4, 2, {0x100000, 0x300000, 0xFFFFFF, 0xFFFFFF, 0x000010, 0x000030, 0xFFFFFF, 0xFFFFFF});
    HalfBlockRenderer r;
    // Two columns, one row for the picture: 2x1 shown pixels, the lower halves black.
    EXPECT_EQ(r.render(f, 2, 2),
        "\x1b[0m\x1b[2J\x1b[1;1H\x1b[38;2;16;0;16m\x1b[48;2;0;0;0m" + kBlock + "\x1b[38;2;255;255;255m" + kBlock
            + "\x1b[0m");
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 80, 24), (std::pair<int, int>{61, 46}));
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 1000, 500), (std::pair<int, int>{640, 480}));
    EXPECT_EQ(HalfBlockRenderer::fit(640, 480, 320, 500), (std::pair<int, int>{320, 240}));
    // paneprobe's frame, averaged down, keeps its rectangle's and background's colours.
    const std::string out = HalfBlockRenderer().render(paneprobe_frame(82), 80, 24);
    EXPECT_NE(out.find("\x1b[38;2;255;180;130m"), std::string::npos);
    EXPECT_NE(out.find("\x1b[38;2;30;30;30m"), std::string::npos);
}

TEST(TerminalKeys, BytesBecomeKeyCodes)
{
    const std::vector<std::pair<std::string_view, std::vector<int32_t>>> rows
        = {{"qQ", {'q', 'Q'}}, {"\x1b", {27}}, {"a\x1b", {'a', 27}}, {"\x1b\x1b", {27, 27}}, {"\x1b[A\x1b[1;5C", {}},
            {"\x1bOPx", {'x'}}, {"\x1b[3~", {0x7F}}, {"\x1bq", {27, 'q'}}, {"\r\x7f\t", {'\n', '\b', '\t'}},
            {"\xc3\xa9\xe2\x82\xac", {0xE9, 0x20AC}}, {std::string_view("\x03\x00", 2), {3, 0}}};
    for (const auto& [bytes, keys] : rows) {
        TerminalKeyDecoder d;
        std::vector<int32_t> got;
        d.feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), got);
        EXPECT_EQ(got, keys) << bytes;
    }
}

} // namespace
} // namespace vekos::test
