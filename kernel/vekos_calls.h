/*
 * The one list of vekos kernel calls: name and number.
 *
 * The library wrappers take their call numbers from here, and the stand-in
 * builds its dispatch and its trace names from the same list, so the two
 * cannot drift apart.  Plain C preprocessor only: this header is shared by
 * freestanding i386 guest code and by host C++.
 */
#ifndef VEKOS_CALLS_H
#define VEKOS_CALLS_H

/* General services. */
#define VEKOS_GENERAL_CALLS(X)        \
    X(write, 1)                       \
    X(exit, 2)                        \
    X(read, 3)                        \
    X(open, 4)                        \
    X(close, 5)                       \
    X(getkey, 6)                      \
    X(writefile, 21)                  \
    X(usleep, 22)                     \
    X(mkdir, 49)                      \
    X(unlink, 50)                     \
    X(rmdir, 51)                      \
    X(getcwd, 52)                     \
    X(vekfs_stream_begin, 53)         \
    X(vekfs_stream_write, 54)         \
    X(vekfs_stream_end, 55)           \
    X(chdir, 95)                      \
    X(lseek, 110)                     \
    X(pipe, 124)                      \
    X(mkfifo, 125)                    \
    X(dup, 126)                       \
    X(dup2, 127)                      \
    X(fd_set_inherit, 128)            \
    X(fd_set_stdio, 129)              \
    X(fd_set_nonblock, 130)           \
    X(spawn, 131)                     \
    X(waitpid, 132)

/* The window service. */
#define VEKOS_GUI_CALLS(X)            \
    X(gui_create, 8)                  \
    X(gui_set_title, 9)               \
    X(gui_begin, 10)                  \
    X(gui_clear, 11)                  \
    X(gui_fill_rect, 12)              \
    X(gui_draw_text, 13)              \
    X(gui_present, 14)                \
    X(gui_poll_event, 15)             \
    X(gui_wait_event, 16)             \
    X(gui_attach, 17)                 \
    X(gui_draw_line, 18)              \
    X(gui_get_content_size, 19)       \
    X(gui_set_font, 20)               \
    X(gui_set_continuous_redraw, 23)  \
    X(gui_blit_rgb565, 24)            \
    X(gui_draw_icon, 105)             \
    X(gui_outline_rect, 106)          \
    X(gui_draw_char, 107)             \
    X(gui_get_font_metrics, 108)      \
    X(gui_warp_mouse, 111)            \
    X(gui_set_cursor_visible, 112)    \
    X(gui_load_font, 137)             \
    X(gui_draw_text_font, 138)        \
    X(gui_draw_char_font, 139)

#define VEKOS_ALL_CALLS(X) VEKOS_GENERAL_CALLS(X) VEKOS_GUI_CALLS(X)

/* VEKOS_SYS_write, VEKOS_SYS_gui_create, ... */
#define VEKOS_CALL_ENUMERATOR(name, number) VEKOS_SYS_##name = (number),
enum vekos_call_number { VEKOS_ALL_CALLS(VEKOS_CALL_ENUMERATOR) };
#undef VEKOS_CALL_ENUMERATOR

#endif
