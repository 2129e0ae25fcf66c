#include "window/framebuffer.h"

#include "window/font.h"

#include <algorithm>
#include <stdexcept>

namespace vekos {

Framebuffer::Framebuffer(int width, int height, uint32_t color) : width_(width), height_(height)
{
    if (width <= 0 || height <= 0)
        throw std::invalid_argument("a window needs a positive width and height");
    pixels_.assign(size_t(width) * size_t(height), color & kColorMask);
}

void Framebuffer::clear(uint32_t color) { std::fill(pixels_.begin(), pixels_.end(), color & kColorMask); }

void Framebuffer::fill_rect(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color)
{
    if (w <= 0 || h <= 0)
        return;
    // 64-bit corners: x + w may not fit in 32 bits.
    const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t(x) + w, width_), y1 = std::min<int64_t>(int64_t(y) + h, height_);
    if (x0 >= x1 || y0 >= y1)
        return;
    color &= kColorMask;
    for (int64_t row = y0; row < y1; ++row) {
        uint32_t* line = pixels_.data() + row * width_;
        std::fill(line + x0, line + x1, color);
    }
}

void Framebuffer::draw_text(int32_t x, int32_t y, uint32_t color, std::string_view text, const Font& font)
{
    color &= kColorMask;
    const int64_t cell_w = font.width(), cell_h = font.height();
    int64_t cx = x, cy = y;
    for (char ch : text) {
        if (ch == '\n') {
            cx = x;
            cy += cell_h;
            continue;
        }
        const uint8_t c = uint8_t(ch);
        // Only the part of the cell inside the window.
        const int64_t gx0 = std::max<int64_t>(0, -cx), gx1 = std::min<int64_t>(cell_w, width_ - cx);
        const int64_t gy0 = std::max<int64_t>(0, -cy), gy1 = std::min<int64_t>(cell_h, height_ - cy);
        for (int64_t gy = gy0; gy < gy1; ++gy) {
            const int64_t row = (cy + gy) * width_;
            for (int64_t gx = gx0; gx < gx1; ++gx)
                if (font.pixel(c, int(gx), int(gy)))
                    pixels_[size_t(row + cx + gx)] = color;
        }
        cx += cell_w;
    }
}

} // namespace vekos
