// psf_to_cpp FONT.psf[.gz] OUT.cpp: turns a Linux console font (PSF version 1
// or 2, gzipped or not) into a C++ source that holds its glyph bitmaps and the
// glyph of each Latin-1 character, as read from the font's Unicode table.
// Runs at build time; the repository itself holds no glyphs.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Font {
    int width = 0;
    int height = 0;
    int row_bytes = 0;
    int glyph_count = 0;
    std::vector<uint8_t> glyphs;          // glyph_count * height * row_bytes
    std::map<uint32_t, int> by_codepoint; // first glyph found for each code point
};

std::vector<uint8_t> read_all(const std::string& path)
{
    gzFile in = gzopen(path.c_str(), "rb"); // reads plain files as they are
    if (!in)
        throw std::runtime_error(path + ": cannot open");
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        int n = gzread(in, chunk, sizeof chunk);
        if (n < 0) {
            int err = 0;
            std::string why = gzerror(in, &err);
            gzclose(in);
            throw std::runtime_error(path + ": cannot read: " + why);
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    gzclose(in);
    return bytes;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void map_codepoint(Font& font, uint32_t cp, int glyph)
{
    font.by_codepoint.emplace(cp, glyph); // keeps the first mapping
}

// Decodes one UTF-8 sequence at b[i]; advances i.  Answers 0xFFFFFFFF on a bad byte.
uint32_t utf8(const std::vector<uint8_t>& b, size_t& i, size_t end)
{
    uint8_t c = b[i++];
    int more = 0;
    uint32_t cp = 0;
    if (c < 0x80)
        return c;
    if ((c & 0xE0) == 0xC0) {
        more = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        more = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        more = 3;
        cp = c & 0x07;
    } else {
        return 0xFFFFFFFF;
    }
    for (int k = 0; k < more; ++k) {
        if (i >= end || (b[i] & 0xC0) != 0x80)
            return 0xFFFFFFFF;
        cp = cp << 6 | (b[i++] & 0x3F);
    }
    return cp;
}

Font parse(const std::vector<uint8_t>& b, const std::string& path)
{
    Font font;
    auto bad = [&](const std::string& why) { return std::runtime_error(path + ": " + why); };
    if (b.size() >= 4 && b[0] == 0x36 && b[1] == 0x04) {
        const uint8_t mode = b[2];
        font.width = 8;
        font.height = b[3];
        font.row_bytes = 1;
        font.glyph_count = (mode & 0x01) ? 512 : 256;
        const size_t glyph_bytes = size_t(font.glyph_count) * font.height;
        if (font.height == 0 || b.size() < 4 + glyph_bytes)
            throw bad("PSF1 font is truncated");
        font.glyphs.assign(b.begin() + 4, b.begin() + 4 + long(glyph_bytes));
        if (mode & 0x06) {
            // One entry per glyph: 16-bit code points, 0xFFFE starts sequences, 0xFFFF ends.
            size_t at = 4 + glyph_bytes;
            for (int g = 0; g < font.glyph_count && at + 1 < b.size(); ++g) {
                bool in_sequence = false;
                while (at + 1 < b.size()) {
                    uint16_t v = uint16_t(b[at] | b[at + 1] << 8);
                    at += 2;
                    if (v == 0xFFFF)
                        break;
                    if (v == 0xFFFE)
                        in_sequence = true;
                    else if (!in_sequence)
                        map_codepoint(font, v, g);
                }
            }
        }
    } else if (b.size() >= 32 && le32(b, 0) == 0x864AB572) {
        const uint32_t header = le32(b, 8), flags = le32(b, 12), count = le32(b, 16), size = le32(b, 20);
        font.height = int(le32(b, 24));
        font.width = int(le32(b, 28));
        font.row_bytes = (font.width + 7) / 8;
        font.glyph_count = int(count);
        if (font.width <= 0 || font.height <= 0 || font.width > 64 || font.height > 64 || count == 0 || count > 65536
            || size != uint32_t(font.row_bytes * font.height))
            throw bad("PSF2 header has sizes this tool does not take");
        const size_t glyph_bytes = size_t(count) * size;
        if (b.size() < header + glyph_bytes)
            throw bad("PSF2 font is truncated");
        font.glyphs.assign(b.begin() + header, b.begin() + long(header + glyph_bytes));
        if (flags & 0x01) {
            // One entry per glyph: UTF-8 code points, 0xFE starts sequences, 0xFF ends.
            size_t at = header + glyph_bytes;
            for (uint32_t g = 0; g < count && at < b.size(); ++g) {
                bool in_sequence = false;
                while (at < b.size()) {
                    if (b[at] == 0xFF) {
                        ++at;
                        break;
                    }
                    if (b[at] == 0xFE) {
                        ++at;
                        in_sequence = true;
                        continue;
                    }
                    uint32_t cp = utf8(b, at, b.size());
                    if (!in_sequence && cp != 0xFFFFFFFF)
                        map_codepoint(font, cp, int(g));
                }
            }
        }
    } else {
        throw bad("not a PSF console font (neither PSF1 nor PSF2 magic)");
    }
    if (font.by_codepoint.empty()) {
        // No Unicode table: the glyphs are in code page order; take it as Latin-1.
        for (int g = 0; g < font.glyph_count && g < 256; ++g)
            map_codepoint(font, uint32_t(g), g);
    }
    return font;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

std::string generate(const Font& font, const std::string& source)
{
    int replacement = 0;
    if (auto it = font.by_codepoint.find(0xFFFD); it != font.by_codepoint.end())
        replacement = it->second;
    else if (auto q = font.by_codepoint.find('?'); q != font.by_codepoint.end())
        replacement = q->second;

    std::ostringstream out;
    out << "// Generated at build time by psf_to_cpp from " << source << ". Do not edit.\n"
        << "#include <cstdint>\n\nnamespace vekos::generated_font {\n\n"
        << "extern const char kSource[] = \"" << escaped(source) << "\";\n"
        << "extern const int kWidth = " << font.width << ";\n"
        << "extern const int kHeight = " << font.height << ";\n"
        << "extern const int kRowBytes = " << font.row_bytes << ";\n"
        << "extern const int kGlyphCount = " << font.glyph_count << ";\n"
        << "extern const int kReplacement = " << replacement << ";\n\n"
        << "// Glyph of each Latin-1 character, -1 where the font has none.\n"
        << "extern const int16_t kLatin1[256] = {";
    for (uint32_t cp = 0; cp < 256; ++cp) {
        auto it = font.by_codepoint.find(cp);
        out << (cp % 16 == 0 ? "\n    " : " ") << (it == font.by_codepoint.end() ? -1 : it->second) << ",";
    }
    out << "\n};\n\n// Rows top to bottom, kRowBytes each, the leftmost pixel in the high bit.\n"
        << "extern const uint8_t kGlyphs[] = {";
    const size_t per_glyph = size_t(font.height) * font.row_bytes;
    for (size_t i = 0; i < font.glyphs.size(); ++i) {
        if (i % per_glyph == 0)
            out << "\n    /* " << i / per_glyph << " */";
        char hex[8];
        std::snprintf(hex, sizeof hex, " 0x%02x,", font.glyphs[i]);
        out << hex;
    }
    out << "\n};\n\n} // namespace vekos::generated_font\n";
    return out.str();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: psf_to_cpp FONT.psf[.gz] OUT.cpp\n";
        return 2;
    }
    try {
        const std::string source = argv[1];
        Font font = parse(read_all(source), source);
        std::string text = generate(font, source);
        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out)
            throw std::runtime_error(std::string(argv[2]) + ": cannot write");
    } catch (const std::exception& e) {
        std::cerr << "psf_to_cpp: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
