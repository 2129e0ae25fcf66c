// The console font text is drawn with: a Linux console font (PSF) converted
// at build time from the file named by the CMake cache entry VEKOS_CONSOLE_FONT.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vekos {

class Font {
public:
    int width() const { return width_; }
    int height() const { return height_; }
    // The font file the glyphs come from.
    std::string_view source() const { return source_; }
    // Whether the pixel (x, y) of the glyph cell of a Latin-1 character is set;
    // characters the font has no glyph for (control characters, ...) show its
    // replacement glyph.  x and y must lie inside the cell.
    bool pixel(uint8_t character, int x, int y) const
    {
        const uint8_t* rows = glyph(character);
        return (rows[y * row_bytes_ + x / 8] >> (7 - x % 8)) & 1;
    }
    bool has_glyph(uint8_t character) const;

private:
    friend const Font& console_font();
    Font() = default;
    const uint8_t* glyph(uint8_t character) const;

    int width_ = 0, height_ = 0, row_bytes_ = 0;
    std::string_view source_;
};

const Font& console_font();

} // namespace vekos
