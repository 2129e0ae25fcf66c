// The window calls: their arguments read out of guest memory, the window's
// answer back.
//   gui_create 8 / gui_attach 17 (title, hint)   -> window handle (1)
//       attach answers the open window's handle, or opens one; a second
//       create answers -16.  A NULL title or hint is taken as "".
//   gui_begin 10, gui_present 14 (handle)        -> 0
//   gui_clear 11, gui_fill_rect 12, gui_draw_text 13 (handle, record) -> 0;
//       rectangles are clipped to the window, text is drawn in the console font
//   gui_poll_event 15 / gui_wait_event 16 (handle, record, size)
//       -> 1 with the oldest pending event stored, 0 when none is pending
// Failures: -9 not the window's handle, -14 a record, title or text that is
// not readable (an event record not writable), -19 the window cannot be
// opened (--gui-fail), -22 an event size under 20 or a title or text longer
// than 65535 bytes.  Without a window service every call answers -38.
#include "kernel/guest_args.h"
#include "kernel/kernel.h"
#include "window/window.h"

#include <cerrno>
#include <cstring>

namespace vekos {
namespace {

Answer open(Kernel& k, const Call& c, bool attach)
{
    Window* w = k.window();
    if (!w)
        return not_provided();
    if (w->refuses_open(attach))
        return {-ENODEV};
    if (w->info())
        return {attach ? w->info()->handle : -EBUSY};
    std::string texts[2];
    const uint32_t addresses[2] = {c.regs.ebx, c.regs.ecx};
    for (int i = 0; i < 2; ++i) {
        int32_t error = 0;
        if (addresses[i] == 0)
            continue;
        auto text = guest_text(c.memory, addresses[i], error);
        if (!text)
            return {error};
        texts[i] = std::move(*text);
    }
    w->open(std::move(texts[0]), std::move(texts[1]), attach);
    return {w->info()->handle};
}

// The window the call names, or the answer that ends it.
Window* window_of(Kernel& k, const Call& c, Answer& refusal)
{
    Window* w = k.window();
    if (!w)
        refusal = not_provided();
    else if (!w->is_window(c.regs.ebx))
        refusal = {-EBADF};
    else
        return w;
    return nullptr;
}

template <typename Record, typename Draw>
Answer draw(Kernel& k, const Call& c, Draw draw_on)
{
    Answer refusal;
    Window* w = window_of(k, c, refusal);
    if (!w)
        return refusal;
    auto record = guest_record<Record>(c.memory, c.regs.ecx);
    if (!record)
        return {-EFAULT};
    return draw_on(*w, *record);
}

Answer next_event(Kernel& k, const Call& c, bool wait)
{
    Answer refusal;
    Window* w = window_of(k, c, refusal);
    if (!w)
        return refusal;
    if (c.regs.edx < GUI_EVENT_SIZE)
        return {-EINVAL};
    if (!c.memory.accessible(c.regs.ecx, GUI_EVENT_SIZE, kWrite))
        return {-EFAULT};
    std::optional<gui_event> event = w->next_event(wait);
    if (!event)
        return {0};
    c.memory.poke(c.regs.ecx, std::as_bytes(std::span(&*event, 1)));
    return {1};
}

} // namespace

Answer serve_gui_create(Kernel& k, const Call& c) { return open(k, c, false); }
Answer serve_gui_attach(Kernel& k, const Call& c) { return open(k, c, true); }

Answer serve_gui_begin(Kernel& k, const Call& c)
{
    Answer refusal;
    return window_of(k, c, refusal) ? Answer{0} : refusal;
}

Answer serve_gui_present(Kernel& k, const Call& c)
{
    Answer refusal;
    Window* w = window_of(k, c, refusal);
    if (!w)
        return refusal;
    w->present();
    return {0};
}

Answer serve_gui_clear(Kernel& k, const Call& c)
{
    return draw<gui_color>(k, c, [](Window& w, const gui_color& r) {
        w.clear(r.color);
        return Answer{0};
    });
}

Answer serve_gui_fill_rect(Kernel& k, const Call& c)
{
    return draw<gui_rect>(k, c, [](Window& w, const gui_rect& r) {
        w.fill_rect(r);
        return Answer{0};
    });
}

Answer serve_gui_draw_text(Kernel& k, const Call& c)
{
    return draw<gui_text>(k, c, [&c](Window& w, const gui_text& r) {
        int32_t error = 0;
        auto text = guest_text(c.memory, r.text, error);
        if (!text)
            return Answer{error};
        w.draw_text(r.x, r.y, r.color, *text);
        return Answer{0};
    });
}

Answer serve_gui_poll_event(Kernel& k, const Call& c) { return next_event(k, c, false); }
Answer serve_gui_wait_event(Kernel& k, const Call& c) { return next_event(k, c, true); }

} // namespace vekos
