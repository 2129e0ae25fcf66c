// Window-service wrappers: each moves its arguments into the trap registers
// unchecked and answers what the kernel answers.
#include "gui.h"

#include "trap.h"

using namespace vekos::detail;

static_assert(sizeof(gui_color) == 4);
static_assert(sizeof(gui_rect) == 20);
static_assert(__builtin_offsetof(gui_rect, x) == 0 && __builtin_offsetof(gui_rect, y) == 4
    && __builtin_offsetof(gui_rect, w) == 8 && __builtin_offsetof(gui_rect, h) == 12
    && __builtin_offsetof(gui_rect, color) == 16);
static_assert(sizeof(gui_text) == 16);
static_assert(__builtin_offsetof(gui_text, x) == 0 && __builtin_offsetof(gui_text, y) == 4
    && __builtin_offsetof(gui_text, color) == 8 && __builtin_offsetof(gui_text, text) == 12);
static_assert(sizeof(gui_event) == 20);
static_assert(__builtin_offsetof(gui_event, type) == 0 && __builtin_offsetof(gui_event, code) == 4
    && __builtin_offsetof(gui_event, data) == 8);

namespace {
constexpr unsigned event_record_size = sizeof(gui_event);
}

extern "C" {

int gui_create(const char *title, const char *hint) { return trap3(VEKOS_SYS_gui_create, word(title), word(hint), 0); }

int gui_attach(const char *title, const char *hint) { return trap3(VEKOS_SYS_gui_attach, word(title), word(hint), 0); }

int gui_begin(int handle) { return trap1(VEKOS_SYS_gui_begin, handle); }

int gui_present(int handle) { return trap1(VEKOS_SYS_gui_present, handle); }

int gui_clear(int handle, const gui_color *color) { return trap3(VEKOS_SYS_gui_clear, handle, word(color), 0); }

int gui_fill_rect(int handle, const gui_rect *rect) { return trap3(VEKOS_SYS_gui_fill_rect, handle, word(rect), 0); }

int gui_draw_text(int handle, const gui_text *text) { return trap3(VEKOS_SYS_gui_draw_text, handle, word(text), 0); }

int gui_poll_event(int handle, gui_event *event)
{
    return trap3(VEKOS_SYS_gui_poll_event, handle, word(event), event_record_size);
}

int gui_wait_event(int handle, gui_event *event)
{
    return trap3(VEKOS_SYS_gui_wait_event, handle, word(event), event_record_size);
}

int gui_warp_mouse(int a, int b, int c) { return trap3(VEKOS_SYS_gui_warp_mouse, a, b, c); }

// The calls whose two arguments the kernel interprets; 0 travels in edx.
#define VEKOS_GUI_PAIR(name)                                                                                           \
    int name(int a, int b) { return trap3(VEKOS_SYS_##name, a, b, 0); }
VEKOS_GUI_PAIR(gui_set_title)
VEKOS_GUI_PAIR(gui_draw_line)
VEKOS_GUI_PAIR(gui_get_content_size)
VEKOS_GUI_PAIR(gui_set_font)
VEKOS_GUI_PAIR(gui_set_continuous_redraw)
VEKOS_GUI_PAIR(gui_blit_rgb565)
VEKOS_GUI_PAIR(gui_draw_icon)
VEKOS_GUI_PAIR(gui_outline_rect)
VEKOS_GUI_PAIR(gui_draw_char)
VEKOS_GUI_PAIR(gui_get_font_metrics)
VEKOS_GUI_PAIR(gui_set_cursor_visible)
VEKOS_GUI_PAIR(gui_load_font)
VEKOS_GUI_PAIR(gui_draw_text_font)
VEKOS_GUI_PAIR(gui_draw_char_font)
#undef VEKOS_GUI_PAIR

} // extern "C"
