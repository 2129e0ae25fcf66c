#include "window_harness.h"

#include "harness.h"
#include "kernel/trace.h"
#include "library_session.h"
#include "window/font.h"

#include <png.h>

#include <regex>

namespace vekos::test {
namespace {

constexpr uint64_t kInstructionLimit = 100'000'000; // a run that never quits stops here

SessionOptions window_options(WindowOptions window, Viewer* viewer, std::vector<std::string>& transcript)
{
    SessionOptions options;
    options.kernel.fast_clock = true;
    options.kernel.observer = [&transcript](const GuestMemory& m, const CallRecord& call) {
        static const std::regex address("0x[0-9a-f]{8}");
        transcript.push_back(std::regex_replace(format_call(m, call), address, "ADDR"));
    };
    options.machine.max_instructions = kInstructionLimit;
    options.window = std::move(window);
    options.viewer = viewer;
    options.coverage = coverage_tracefile(); // make coverage: paneprobe's lines too
    return options;
}

} // namespace

WindowRun::WindowRun(WindowOptions options)
    : session_(build_dir() / "bin/paneprobe", window_options(std::move(options), this, transcript_))
{
}

std::vector<int32_t> WindowRun::rectangle_xs() const
{
    std::vector<int32_t> xs;
    for (const std::string& line : transcript_)
        if (line.starts_with("gui_fill_rect(1, {x="))
            xs.push_back(std::stoi(line.substr(line.find("x=") + 2)));
    return xs;
}

Framebuffer paneprobe_frame(int rect_x)
{
    Framebuffer f(640, 480);
    f.clear(kBackground);
    f.fill_rect(rect_x, 90, 140, 90, kRectangle);
    f.draw_text(10, 10, 0xDEDEDE, "Legacy window test command", console_font());
    return f;
}

DecodedGif decode_gif(const std::string& path)
{
    DecodedGif out;
    int error = 0;
    out.gif.reset(DGifOpenFileName(path.c_str(), &error), [](GifFileType* gif) { DGifCloseFile(gif, nullptr); });
    GifFileType* g = out.gif.get();
    if (!g || DGifSlurp(g) != GIF_OK) {
        ADD_FAILURE() << "cannot read " << path << ": " << GifErrorString(g ? g->Error : error);
        out.gif.reset();
        return out;
    }
    Framebuffer canvas(g->SWidth, g->SHeight);
    for (int i = 0; i < g->ImageCount; ++i) {
        const SavedImage& image = g->SavedImages[i];
        const GifImageDesc& d = image.ImageDesc;
        const ColorMapObject* map = d.ColorMap ? d.ColorMap : g->SColorMap;
        if (!map) {
            ADD_FAILURE() << "image " << i << " has no colour table";
            continue;
        }
        EXPECT_FALSE(d.Interlace);
        for (int y = 0; y < d.Height; ++y)
            for (int x = 0; x < d.Width; ++x) {
                const int index = image.RasterBits[y * d.Width + x];
                EXPECT_LT(index, map->ColorCount);
                const GifColorType c = map->Colors[index];
                canvas.fill_rect(d.Left + x, d.Top + y, 1, 1, uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue);
            }
        out.frames.push_back(canvas);
    }
    return out;
}

std::optional<Framebuffer> read_png(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
        Framebuffer f(int(image.width), int(image.height));
        if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
            for (size_t i = 0; i < rgb.size() / 3; ++i)
                f.fill_rect(int(i % image.width), int(i / image.width), 1, 1,
                    uint32_t(rgb[i * 3]) << 16 | uint32_t(rgb[i * 3 + 1]) << 8 | rgb[i * 3 + 2]);
            return f;
        }
    }
    ADD_FAILURE() << path << ": " << image.message;
    return std::nullopt;
}

} // namespace vekos::test
