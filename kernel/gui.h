/* The kernel's window service: windows, frame drawing and events
 * (docs/kernel.md). */
#ifndef VEKOS_GUI_H
#define VEKOS_GUI_H

#include "vekos_abi.h"
#include "vekos_cdefs.h"

VEKOS_BEGIN_DECLS

/* Records travel by pointer; their layouts are in vekos_abi.h. */

int gui_create(const char *title, const char *hint);
int gui_set_title(int a, int b);
int gui_begin(int handle);
int gui_clear(int handle, const gui_color *color);
int gui_fill_rect(int handle, const gui_rect *rect);
int gui_draw_text(int handle, const gui_text *text);
int gui_present(int handle);
int gui_poll_event(int handle, gui_event *event);
int gui_wait_event(int handle, gui_event *event);
int gui_attach(const char *title, const char *hint);
int gui_draw_line(int a, int b);
int gui_get_content_size(int a, int b);
int gui_set_font(int a, int b);
int gui_set_continuous_redraw(int a, int b);
int gui_blit_rgb565(int a, int b);
int gui_draw_icon(int a, int b);
int gui_outline_rect(int a, int b);
int gui_draw_char(int a, int b);
int gui_get_font_metrics(int a, int b);
int gui_warp_mouse(int a, int b, int c);
int gui_set_cursor_visible(int a, int b);
int gui_load_font(int a, int b);
int gui_draw_text_font(int a, int b);
int gui_draw_char_font(int a, int b);

VEKOS_END_DECLS

#endif
