// The window service of vekos-run: one window with a fixed content size, the
// frame drawing calls, and key events (typed on a display, or scripted by frame).
//
// Calls and answers (eax = number; ebx, ecx, edx = arguments):
//   gui_create 8 / gui_attach 17 (title, hint, 0)  -> window handle (1)
//       attach answers the open window's handle, or opens one; a second
//       create answers -16.  A NULL title or hint is taken as "".
//   gui_begin 10, gui_present 14 (handle)           -> 0
//   gui_clear 11 (handle, gui_color*, 0)            -> 0
//   gui_fill_rect 12 (handle, gui_rect*, 0)         -> 0, clipped to the window
//   gui_draw_text 13 (handle, gui_text*, 0)         -> 0, console font glyphs
//   gui_poll_event 15 / gui_wait_event 16 (handle, gui_event*, size)
//       -> 1 with the oldest pending event stored, 0 when none is pending
//       (wait first waits for a typed key when a display can give one).
// Failures: -9 not the window's handle, -14 a record, title or text that is
// not readable (an event record not writable), -19 the window cannot be
// opened (--gui-fail), -22 an event size under 20 or a title or text longer
// than 65535 bytes.  Every other GUI call is left to the dispatcher (-38).
#pragma once

#include "framebuffer.h"
#include "window_service.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

constexpr int32_t kGuiEventKey = 1;
constexpr int32_t kKeyEscape = 27;
constexpr uint32_t kGuiEventSize = 20;  // five 32-bit words
constexpr int32_t kWindowHandle = 1;
constexpr int kWindowWidth = 640, kWindowHeight = 480;

struct GuiEvent {
    int32_t type = 0;
    int32_t code = 0;
    std::array<int32_t, 3> data{};
};

// A key that arrives in frame `frame` (the first frame drawn is frame 1): the
// polls before that frame's drawing find it.
struct ScriptedKey {
    uint64_t frame = 0;
    int32_t code = 0;
};

// "FRAME:KEY[,FRAME:KEY...]"; KEY is one character, a name (Escape, Enter,
// Tab, Space, Backspace, Delete, Comma), or a code (0x3B, or two or more
// decimal digits).  Throws std::invalid_argument naming --keys.
std::vector<ScriptedKey> parse_keys(std::string_view list);
int32_t parse_key(std::string_view key);

enum class GuiFailure { none, create, attach, both };
GuiFailure parse_gui_failure(std::string_view text);  // "create", "attach", "both"

// Where presented frames go and typed keys come from (a display, recorders).
// Called on the thread that runs the guest.
class GuiFrontEnd {
public:
    virtual ~GuiFrontEnd() = default;
    virtual void window_opened(std::string_view /*title*/, std::string_view /*hint*/, int /*width*/,
                               int /*height*/)
    {
    }
    virtual void frame_presented(const Framebuffer& frame, uint64_t number) = 0;
    // Appends the codes of the keys typed since the last call; never blocks.
    virtual void take_keys(std::vector<int32_t>& /*codes*/) {}
    // Waits until a key is typed and appends it; false at once when no key can
    // come (no live display, or it was closed) or the wait was interrupted.
    virtual bool wait_keys(std::vector<int32_t>& /*codes*/) { return false; }
    // From another thread: waits give up, now and for the rest of the run.
    virtual void interrupt() {}
};

struct GuiOptions {
    int width = kWindowWidth;
    int height = kWindowHeight;
    GuiFailure fail = GuiFailure::none;
    std::vector<ScriptedKey> keys;
};

struct WindowInfo {
    int32_t handle = 0;
    std::string title;
    std::string hint;
    bool attached = false;  // opened by gui_attach
};

class GuiService final : public WindowService {
public:
    explicit GuiService(GuiOptions options = {}, GuiFrontEnd* front_end = nullptr);

    std::optional<int32_t> handle(GuestMemory& memory, const CallRegs& regs) override;
    void interrupt() override
    {
        if (front_end_)
            front_end_->interrupt();
    }

    // Back to no window, no pending events, no frame presented; the scripted
    // keys start over.
    void reset();
    void set_front_end(GuiFrontEnd* front_end) { front_end_ = front_end; }
    void set_failure(GuiFailure fail) { options_.fail = fail; }
    void set_keys(std::vector<ScriptedKey> keys);
    void push_event(const GuiEvent& event) { events_.push_back(event); }

    const std::optional<WindowInfo>& window() const { return window_; }
    const Framebuffer& canvas() const { return canvas_; }  // the frame being drawn
    // The last frame presented.
    const Framebuffer& presented() const { return canvas_is_presented_ ? canvas_ : presented_; }
    uint64_t frames_presented() const { return frames_; }
    size_t events_pending() const { return events_.size(); }
    int width() const { return options_.width; }
    int height() const { return options_.height; }

private:
    int32_t open(GuestMemory& m, uint32_t title, uint32_t hint, bool attach);
    // Before the canvas changes: keeps the presented frame apart from it.
    void detach_presented(bool whole_canvas_redrawn);
    int32_t next_event(GuestMemory& m, uint32_t record, uint32_t size, bool wait);
    void gather_keys();
    bool is_window(uint32_t handle) const { return window_ && int32_t(handle) == window_->handle; }

    GuiOptions options_;
    GuiFrontEnd* front_end_;
    std::optional<WindowInfo> window_;
    Framebuffer canvas_;
    Framebuffer presented_;
    // After a present the canvas is the presented frame, until it is drawn on:
    // a clear then swaps the buffers instead of copying 1.2 MB.
    bool canvas_is_presented_ = false;
    uint64_t frames_ = 0;
    size_t next_key_ = 0;  // into options_.keys, sorted by frame
    std::deque<GuiEvent> events_;
    std::vector<int32_t> typed_;
};

} // namespace vekos
