// A window's pixels: 0x00RRGGBB words, origin top-left, x right, y down.
// Every drawing operation clips to the window; nothing outside is touched.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vekos {

class Font;

class Framebuffer {
public:
    Framebuffer(int width, int height, uint32_t color = 0);

    int width() const { return width_; }
    int height() const { return height_; }
    uint32_t at(int x, int y) const { return pixels_[size_t(y) * size_t(width_) + size_t(x)]; }
    std::span<const uint32_t> pixels() const { return pixels_; }
    std::span<const uint32_t> row(int y) const
    {
        return std::span<const uint32_t>(pixels_).subspan(size_t(y) * size_t(width_), size_t(width_));
    }

    void clear(uint32_t color);
    // A w x h rectangle with its top-left corner at (x, y); w or h <= 0 draws nothing.
    void fill_rect(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color);
    // Each byte is a Latin-1 character; the first glyph cell's top-left corner
    // is at (x, y), the cells follow left to right and '\n' starts a new line
    // under the first.  Set glyph pixels take the colour, the others stay.
    void draw_text(int32_t x, int32_t y, uint32_t color, std::string_view text, const Font& font);

    friend bool operator==(const Framebuffer&, const Framebuffer&) = default;

private:
    int width_, height_;
    std::vector<uint32_t> pixels_;
};

constexpr uint32_t kColorMask = 0x00FFFFFF;

} // namespace vekos
