// The terminal view's pieces that need no terminal: frames to escape
// sequences, typed bytes to keys, and guest text made safe to print.
#include "window/display_terminal.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace vekos {

// ---- Frames to escape sequences ------------------------------------------

std::pair<int, int> HalfBlockRenderer::fit(int width, int height, int columns, int rows)
{
    const int view_w = std::max(1, columns), view_h = std::max(2, 2 * (rows - 1));
    const double scale = std::max({1.0, double(width) / view_w, double(height) / view_h});
    return {std::max(1, int(width / scale)), std::max(1, int(height / scale))};
}

std::string HalfBlockRenderer::render(const Framebuffer& frame, int columns, int rows)
{
    const auto [out_w, out_h] = fit(frame.width(), frame.height(), columns, rows);
    const int cell_rows = (out_h + 1) / 2;
    const int left = (columns - out_w) / 2, top = std::max(0, (rows - 1 - cell_rows) / 2);

    // Each shown pixel: the average of the source pixels it covers.
    auto span_of = [](int i, int shown, int source) {
        int a = int(int64_t(i) * source / shown), b = int(int64_t(i + 1) * source / shown);
        return std::pair{a, std::max(b, a + 1)};
    };
    std::vector<uint32_t> shown(size_t(out_w) * size_t(out_h));
    for (int j = 0; j < out_h; ++j) {
        const auto [y0, y1] = span_of(j, out_h, frame.height());
        for (int i = 0; i < out_w; ++i) {
            const auto [x0, x1] = span_of(i, out_w, frame.width());
            uint64_t r = 0, g = 0, b = 0, n = 0;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) {
                    const uint32_t p = frame.at(x, y);
                    r += p >> 16 & 0xFF;
                    g += p >> 8 & 0xFF;
                    b += p & 0xFF;
                    ++n;
                }
            shown[size_t(j) * out_w + i] = uint32_t((r + n / 2) / n << 16 | (g + n / 2) / n << 8 | (b + n / 2) / n);
        }
    }

    std::string out;
    if (columns != columns_ || rows != rows_ || cells_.size() != size_t(out_w) * cell_rows) {
        cells_.assign(size_t(out_w) * cell_rows, Cell{~0u, ~0u}); // no colour matches: all drawn
        columns_ = columns;
        rows_ = rows;
        out += "\x1b[0m\x1b[2J";
    }
    uint32_t fg = ~0u, bg = ~0u;
    int at_row = -1, at_col = -1;
    auto colour = [&](const char* lead, uint32_t c) {
        out += lead;
        out += std::to_string(c >> 16 & 0xFF) + ';' + std::to_string(c >> 8 & 0xFF) + ';' + std::to_string(c & 0xFF)
            + 'm';
    };
    for (int r = 0; r < cell_rows; ++r) {
        for (int c = 0; c < out_w; ++c) {
            const Cell cell{
                shown[size_t(2 * r) * out_w + c], 2 * r + 1 < out_h ? shown[size_t(2 * r + 1) * out_w + c] : 0};
            Cell& old = cells_[size_t(r) * out_w + c];
            if (old == cell)
                continue;
            old = cell;
            if (r != at_row || c != at_col)
                out += "\x1b[" + std::to_string(top + r + 1) + ';' + std::to_string(left + c + 1) + 'H';
            if (cell.top != fg)
                colour("\x1b[38;2;", fg = cell.top);
            if (cell.bottom != bg)
                colour("\x1b[48;2;", bg = cell.bottom);
            out += "\xe2\x96\x80"; // U+2580 upper half block
            at_row = r;
            at_col = c + 1;
        }
    }
    if (fg != ~0u || bg != ~0u)
        out += "\x1b[0m";
    return out;
}

// ---- Typed bytes to keys ---------------------------------------------------

void TerminalKeyDecoder::feed(std::span<const uint8_t> bytes, std::vector<int32_t>& keys)
{
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t b = bytes[i];
        if (b == 0x1B) {
            if (i + 1 == n || bytes[i + 1] == 0x1B) {
                keys.push_back(27); // Escape on its own
                ++i;
                continue;
            }
            if (bytes[i + 1] == '[') {
                size_t j = i + 2;
                while (j < n && !(bytes[j] >= 0x40 && bytes[j] <= 0x7E))
                    ++j;
                const std::string_view params(
                    reinterpret_cast<const char*>(bytes.data()) + i + 2, std::min(j, n) - (i + 2));
                if (j < n && bytes[j] == '~' && params == "3")
                    keys.push_back(0x7F); // Delete
                i = j + 1;
                continue;
            }
            if (bytes[i + 1] == 'O') { // SS3: one more byte (F1-F4, keypad)
                i += 3;
                continue;
            }
            keys.push_back(27); // Alt+key: Escape, then the key
            ++i;
            continue;
        }
        if (b == '\r') {
            keys.push_back('\n');
            ++i;
        } else if (b == 0x7F) {
            keys.push_back('\b');
            ++i;
        } else if (b >= 0xC0 && b < 0xF8) {
            int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
            uint32_t cp = b & (0x3Fu >> more);
            ++i;
            for (; more > 0 && i < n && (bytes[i] & 0xC0) == 0x80; --more, ++i)
                cp = cp << 6 | (bytes[i] & 0x3F);
            keys.push_back(int32_t(cp));
        } else {
            keys.push_back(b);
            ++i;
        }
    }
}

// ---- Guest text on the status line ---------------------------------------------

std::string terminal_safe(std::string_view text, size_t columns)
{
    std::string out;
    size_t shown = 0;
    auto escaped = [&](uint8_t b) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", b);
        return std::string(esc);
    };
    size_t i = 0;
    while (i < text.size() && shown < columns) {
        const uint8_t b = uint8_t(text[i]);
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        size_t length = b < 0x80    ? 1
            : b >= 0xC2 && b < 0xE0 ? 2
            : b >= 0xE0 && b < 0xF0 ? 3
            : b >= 0xF0 && b < 0xF5 ? 4
                                    : 0;
        uint32_t cp = length == 1 ? b : b & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if (i + k >= text.size() || (uint8_t(text[i + k]) & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            cp = cp << 6 | (uint8_t(text[i + k]) & 0x3F);
        }
        const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF));
        const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
        if (length == 0 || overlong || control || (cp >= 0xD800 && cp < 0xE000)) {
            std::string e = escaped(b);
            if (shown + e.size() > columns)
                break;
            out += e;
            shown += e.size();
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
        ++shown;
    }
    return out;
}

} // namespace vekos
