// The guest's window in the terminal: each character cell shows two pixels
// with the upper half block (U+2580), foreground the upper pixel and
// background the lower one, in 24-bit colour; keys are read in raw mode.
// The pieces that turn frames into bytes and bytes into keys, for the display
// and its tests.
#pragma once

#include "window/framebuffer.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

// Turns frames into the escape sequences that draw them on a terminal of
// `columns` x `rows` cells, the last row kept for a status line.  The frame is
// scaled down to fit (each shown pixel is the average of the pixels it
// covers), keeping its shape, and centred; after the first frame only the
// cells that changed are sent.
class HalfBlockRenderer {
public:
    std::string render(const Framebuffer& frame, int columns, int rows);
    // The next frame is sent whole (after a resize or a redraw).
    void invalidate() { cells_.clear(); }
    // Shown size in pixels for a frame on this terminal (2 pixels per cell row).
    static std::pair<int, int> fit(int width, int height, int columns, int rows);

private:
    struct Cell {
        uint32_t top, bottom;
        bool operator==(const Cell&) const = default;
    };
    std::vector<Cell> cells_;
    int columns_ = 0, rows_ = 0;
};

// Turns the bytes typed on a raw-mode terminal into key codes: characters as
// they are (UTF-8 decoded), Enter ('\r') as '\n', Backspace (0x7F) as '\b',
// a lone Escape as 27, Delete (ESC [ 3 ~) as 0x7F; other escape sequences
// (arrows, function keys) are dropped.
class TerminalKeyDecoder {
public:
    void feed(std::span<const uint8_t> bytes, std::vector<int32_t>& keys);
};

// Text the guest chose (a window title) made safe to print on a terminal:
// printable UTF-8 stays, every control byte or character (C0, DEL, C1) and
// every byte that is not valid UTF-8 is shown as \xNN, so the guest can
// never send the terminal an escape sequence.  Cut to at most `columns`
// characters.
std::string terminal_safe(std::string_view text, size_t columns);

// Leaves the terminal as it was found: the reset sequence a display sends last.
constexpr std::string_view kTerminalLeave = "\x18\x1b[0m\x1b[?25h\x1b[?1049l";

} // namespace vekos
