#include "window_files.h"

#include "window/font.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdlib>
#include <stdexcept>

namespace vekos::test {

DecodedGif decode_gif(const std::string& path)
{
    DecodedGif out;
    int error = 0;
    out.gif.reset(DGifOpenFileName(path.c_str(), &error), [](GifFileType* gif) { DGifCloseFile(gif, nullptr); });
    if (!out.gif) {
        ADD_FAILURE() << "cannot open " << path << ": " << GifErrorString(error);
        return out;
    }
    GifFileType* g = out.gif.get();
    if (DGifSlurp(g) != GIF_OK) {
        ADD_FAILURE() << "cannot decode " << path << ": " << GifErrorString(g->Error);
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
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << path << ": " << image.message;
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        ADD_FAILURE() << path << ": " << image.message;
        return std::nullopt;
    }
    Framebuffer f(int(image.width), int(image.height));
    for (int y = 0; y < f.height(); ++y)
        for (int x = 0; x < f.width(); ++x) {
            const uint8_t* p = &rgb[(size_t(y) * f.width() + x) * 3];
            f.fill_rect(x, y, 1, 1, uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
        }
    return f;
}

} // namespace vekos::test
