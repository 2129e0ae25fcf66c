// The calls of the table the stand-in does not provide: each answers -38
// (not implemented), and the trace marks it.
#include "kernel/kernel.h"

namespace vekos {

#define VEKOS_NOT_PROVIDED(name)                                                                                       \
    Answer serve_##name(Kernel&, const Call&) { return not_provided(); }

VEKOS_NOT_PROVIDED(getkey)
VEKOS_NOT_PROVIDED(mkfifo)
VEKOS_NOT_PROVIDED(fd_set_inherit)
VEKOS_NOT_PROVIDED(fd_set_stdio)
VEKOS_NOT_PROVIDED(fd_set_nonblock)
VEKOS_NOT_PROVIDED(spawn)
VEKOS_NOT_PROVIDED(waitpid)
VEKOS_NOT_PROVIDED(gui_set_title)
VEKOS_NOT_PROVIDED(gui_draw_line)
VEKOS_NOT_PROVIDED(gui_get_content_size)
VEKOS_NOT_PROVIDED(gui_set_font)
VEKOS_NOT_PROVIDED(gui_set_continuous_redraw)
VEKOS_NOT_PROVIDED(gui_blit_rgb565)
VEKOS_NOT_PROVIDED(gui_draw_icon)
VEKOS_NOT_PROVIDED(gui_outline_rect)
VEKOS_NOT_PROVIDED(gui_draw_char)
VEKOS_NOT_PROVIDED(gui_get_font_metrics)
VEKOS_NOT_PROVIDED(gui_warp_mouse)
VEKOS_NOT_PROVIDED(gui_set_cursor_visible)
VEKOS_NOT_PROVIDED(gui_load_font)
VEKOS_NOT_PROVIDED(gui_draw_text_font)
VEKOS_NOT_PROVIDED(gui_draw_char_font)

} // namespace vekos
