// The guest's one window: a fixed content size, the canvas being drawn, the
// last presented frame, pending events, and the keys scripted by frame.  The
// window calls reach it through serve_window.cpp; where presented frames go
// and typed keys come from is its Viewer.
#pragma once

#include "window/framebuffer.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include "vekos_abi.h"
}

namespace vekos {

constexpr int32_t kWindowHandle = 1;
constexpr int kWindowWidth = 640, kWindowHeight = 480;

// A key that arrives in frame `frame` (the first frame drawn is frame 1): the
// polls before that frame's drawing find it.
struct ScriptedKey {
    uint64_t frame = 0;
    int32_t code = 0;
};

enum class GuiFailure { none, create, attach, both };

// Where presented frames go and typed keys come from (a display and
// recorders, or a test).  Called on the thread that runs the guest.
class Viewer {
public:
    virtual ~Viewer() = default;
    virtual void window_opened(std::string_view /*title*/, std::string_view /*hint*/, int /*width*/, int /*height*/) { }
    virtual void frame_presented(const Framebuffer& frame, uint64_t number) = 0;
    // Appends the codes of the keys typed since the last call; never blocks.
    virtual void take_keys(std::vector<int32_t>& /*codes*/) { }
    // Waits until a key is typed and appends it; false at once when no key can
    // come (no live display, or it was closed) or the wait was interrupted.
    virtual bool wait_keys(std::vector<int32_t>& /*codes*/) { return false; }
    // From another thread: waits give up, now and for the rest of the run.
    virtual void interrupt() { }
};

struct WindowOptions {
    int width = kWindowWidth;
    int height = kWindowHeight;
    GuiFailure fail = GuiFailure::none; // --gui-fail: those opens answer -19
    std::vector<ScriptedKey> keys;
    // Called once when the program waits for events that nothing can send:
    // a wait, or many polls in a row that find nothing, after the last
    // scripted key.  Unset when a display can deliver typed keys.
    std::function<void()> on_keyless_wait;
};

struct WindowInfo {
    int32_t handle = 0;
    std::string title;
    std::string hint;
    bool attached = false; // opened by gui_attach
};

class Window {
public:
    explicit Window(WindowOptions options = {}, Viewer* viewer = nullptr);

    // Back to no window, no pending events, no frame presented; the scripted
    // keys start over.
    void reset();
    void set_keys(std::vector<ScriptedKey> keys);
    void push_event(const gui_event& event) { events_.push_back(event); }
    void interrupt()
    {
        if (viewer_)
            viewer_->interrupt();
    }

    // What the calls do, once their arguments are read.
    bool refuses_open(bool attach) const;
    void open(std::string title, std::string hint, bool attach);
    void clear(uint32_t colour);
    void fill_rect(const gui_rect& rect);
    void draw_text(int32_t x, int32_t y, uint32_t colour, std::string_view text);
    void present();
    // The oldest pending event; `wait` first waits for a typed key when the
    // viewer can give one.
    std::optional<gui_event> next_event(bool wait);

    const std::optional<WindowInfo>& info() const { return window_; }
    bool is_window(uint32_t handle) const { return window_ && int32_t(handle) == window_->handle; }
    const Framebuffer& canvas() const { return canvas_; } // the frame being drawn
    // The last frame presented.
    const Framebuffer& presented() const { return canvas_is_presented_ ? canvas_ : presented_; }
    uint64_t frames_presented() const { return frames_; }
    size_t events_pending() const { return events_.size(); }
    int width() const { return options_.width; }
    int height() const { return options_.height; }

private:
    // Before the canvas changes: keeps the presented frame apart from it.
    void detach_presented(bool whole_canvas_redrawn);
    void gather_keys();

    WindowOptions options_;
    Viewer* viewer_;
    std::optional<WindowInfo> window_;
    Framebuffer canvas_;
    Framebuffer presented_;
    // After a present the canvas is the presented frame, until it is drawn on:
    // a clear then swaps the buffers instead of copying 1.2 MB.
    bool canvas_is_presented_ = false;
    uint64_t frames_ = 0;
    size_t next_key_ = 0; // into options_.keys, sorted by frame
    uint32_t empty_polls_ = 0;
    std::deque<gui_event> events_;
    std::vector<int32_t> typed_;
};

} // namespace vekos
