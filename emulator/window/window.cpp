#include "window/window.h"

#include "window/font.h"

#include <algorithm>
#include <utility>

namespace vekos {

Window::Window(WindowOptions options, Viewer* viewer)
    : options_(std::move(options)), viewer_(viewer), canvas_(options_.width, options_.height),
      presented_(options_.width, options_.height)
{
    set_keys(std::move(options_.keys));
}

void Window::set_keys(std::vector<ScriptedKey> keys)
{
    std::stable_sort(
        keys.begin(), keys.end(), [](const ScriptedKey& a, const ScriptedKey& b) { return a.frame < b.frame; });
    options_.keys = std::move(keys);
    next_key_ = 0;
}

void Window::reset()
{
    window_.reset();
    canvas_is_presented_ = false;
    canvas_.clear(0);
    presented_.clear(0);
    frames_ = 0;
    next_key_ = 0;
    empty_polls_ = 0;
    events_.clear();
}

void Window::detach_presented(bool whole_canvas_redrawn)
{
    if (!canvas_is_presented_)
        return;
    canvas_is_presented_ = false;
    if (whole_canvas_redrawn)
        std::swap(canvas_, presented_); // the canvas's old pixels do not matter
    else
        presented_ = canvas_;
}

bool Window::refuses_open(bool attach) const
{
    return options_.fail == GuiFailure::both || options_.fail == (attach ? GuiFailure::attach : GuiFailure::create);
}

void Window::open(std::string title, std::string hint, bool attach)
{
    window_ = WindowInfo{kWindowHandle, std::move(title), std::move(hint), attach};
    if (viewer_)
        viewer_->window_opened(window_->title, window_->hint, options_.width, options_.height);
}

void Window::clear(uint32_t colour)
{
    detach_presented(true);
    canvas_.clear(colour);
}

void Window::fill_rect(const gui_rect& r)
{
    detach_presented(false);
    canvas_.fill_rect(r.x, r.y, r.w, r.h, r.color);
}

void Window::draw_text(int32_t x, int32_t y, uint32_t colour, std::string_view text)
{
    detach_presented(false);
    canvas_.draw_text(x, y, colour, text, console_font());
}

void Window::present()
{
    canvas_is_presented_ = true;
    ++frames_;
    if (viewer_)
        viewer_->frame_presented(canvas_, frames_);
}

void Window::gather_keys()
{
    // Scripted keys due by the frame about to be drawn, then the typed ones.
    while (next_key_ < options_.keys.size() && options_.keys[next_key_].frame <= frames_ + 1)
        events_.push_back(gui_event{GUI_EVENT_KEY, options_.keys[next_key_++].code, {}});
    if (viewer_) {
        typed_.clear();
        viewer_->take_keys(typed_);
        for (int32_t code : typed_)
            events_.push_back(gui_event{GUI_EVENT_KEY, code, {}});
    }
}

std::optional<gui_event> Window::next_event(bool wait)
{
    gather_keys();
    if (events_.empty() && wait && viewer_) {
        typed_.clear();
        if (viewer_->wait_keys(typed_))
            for (int32_t code : typed_)
                events_.push_back(gui_event{GUI_EVENT_KEY, code, {}});
    }
    if (events_.empty()) {
        // About a second of a program that polls once a frame.
        constexpr uint32_t kPollsBeforeKeylessWarning = 60;
        if (options_.on_keyless_wait && next_key_ == options_.keys.size()
            && (wait || ++empty_polls_ >= kPollsBeforeKeylessWarning))
            std::exchange(options_.on_keyless_wait, nullptr)();
        return std::nullopt;
    }
    empty_polls_ = 0;
    const gui_event e = events_.front();
    events_.pop_front();
    return e;
}

} // namespace vekos
