// A live view of the guest's window: an SDL window or the terminal.  Every
// method is called from one thread, the one that made the display.
#pragma once

#include "window/framebuffer.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace vekos {

class Display {
public:
    virtual ~Display() = default;
    // The guest opened its window.
    virtual void open(std::string_view title, std::string_view hint, int width, int height) = 0;
    virtual void show(const Framebuffer& frame) = 0;
    // Appends the character codes of the keys typed since the last call
    // (27 Escape, '\n' Enter, '\b' Backspace, '\t' Tab, 0x7F Delete); never blocks.
    virtual void pump(std::vector<int32_t>& keys) = 0;
    // The user closed the view (the window's close button).
    virtual bool closed() const = 0;
};

// The display asked for cannot be had here (no X/Wayland display, no terminal).
class DisplayUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Both throw DisplayUnavailable.
std::unique_ptr<Display> make_sdl_display();
std::unique_ptr<Display> make_terminal_display();

} // namespace vekos
