#include "window/font.h"

namespace vekos {
namespace generated_font {
// Defined in the source generated from the console font (console_font.cpp in the build tree).
extern const char kSource[];
extern const int kWidth, kHeight, kRowBytes, kGlyphCount, kReplacement;
extern const int16_t kLatin1[256];
extern const uint8_t kGlyphs[];
} // namespace generated_font

bool Font::has_glyph(uint8_t character) const { return generated_font::kLatin1[character] >= 0; }

const uint8_t* Font::glyph(uint8_t character) const
{
    int index = generated_font::kLatin1[character];
    if (index < 0)
        index = generated_font::kReplacement;
    return generated_font::kGlyphs + size_t(index) * size_t(height_ * row_bytes_);
}

const Font& console_font()
{
    static const Font font = [] {
        Font f;
        f.width_ = generated_font::kWidth;
        f.height_ = generated_font::kHeight;
        f.row_bytes_ = generated_font::kRowBytes;
        f.source_ = generated_font::kSource;
        return f;
    }();
    return font;
}

} // namespace vekos
