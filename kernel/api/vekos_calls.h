/*
 * The one description of the vekos kernel calls, shared by the library's
 * wrappers and by the stand-in (its dispatch, its trace, the names --inject
 * takes, and the register-exact wrapper tests are all derived from it).
 *
 * A row:   X(name, number, ebx, ecx, edx)
 *   name    the call's name: the wrapper's (but _exit's, which is "exit") and
 *           the trace's; the enumerator is VEKOS_SYS_name
 *   number  what the wrapper puts in eax
 *   ebx...  how each argument register is filled and read:
 *     NONE        not set by the wrapper (the call has no argument there)
 *     ZERO        always 0
 *     EVENT_SIZE  always 20, the size of the event record
 *     FD          a descriptor
 *     INT         a signed number (an offset, a stream, a status ...)
 *     UINT        an unsigned number (microseconds)
 *     FLAG        the caller's on/off value, passed as exactly 0 or 1
 *     LEN         a byte count, clamped to 0x7FFFFFFF; it counts the
 *                 buffer in the register before it
 *     IN_BUF      bytes the kernel reads
 *     OUT_BUF     bytes the kernel writes
 *     OUT_STR     a NUL-terminated string the kernel writes
 *     PATH        a NUL-terminated path; the wrapper refuses a null one
 *     STR         a NUL-terminated text; null passes as it is
 *     OPEN_FLAGS  open's flags
 *     OPEN_MODE   open's flags again when they contain 0x40 (create), else 0
 *     FD_PAIR     where the kernel stores two descriptors
 *     PTR         a pointer the kernel interprets
 *     HANDLE      a window handle
 *     COLOR_REC, RECT_REC, TEXT_REC   a gui_color, gui_rect, gui_text record
 *     EVENT_REC   a gui_event record the kernel fills
 *     WORD        a 32-bit value of no fixed meaning
 *
 * Plain C preprocessor only: freestanding i386 guest code and host C++ both
 * include it.
 */
#ifndef VEKOS_CALLS_H
#define VEKOS_CALLS_H

/* A row per call, columns aligned: */
/* clang-format off */

/* General services. */
#define VEKOS_GENERAL_CALLS(X)                                        \
    X(write,              1,   FD,         IN_BUF,     LEN)          \
    X(exit,               2,   INT,        NONE,       NONE)         \
    X(read,               3,   FD,         OUT_BUF,    LEN)          \
    X(open,               4,   PATH,       OPEN_FLAGS, OPEN_MODE)    \
    X(close,              5,   FD,         NONE,       NONE)         \
    X(getkey,             6,   NONE,       NONE,       NONE)         \
    X(writefile,          21,  PATH,       IN_BUF,     LEN)          \
    X(usleep,             22,  UINT,       NONE,       NONE)         \
    X(mkdir,              49,  PATH,       NONE,       NONE)         \
    X(unlink,             50,  PATH,       NONE,       NONE)         \
    X(rmdir,              51,  PATH,       NONE,       NONE)         \
    X(getcwd,             52,  OUT_STR,    LEN,        ZERO)         \
    X(vekfs_stream_begin, 53,  PATH,       NONE,       NONE)         \
    X(vekfs_stream_write, 54,  INT,        IN_BUF,     LEN)          \
    X(vekfs_stream_end,   55,  INT,        NONE,       NONE)         \
    X(chdir,              95,  PATH,       NONE,       NONE)         \
    X(lseek,              110, FD,         INT,        INT)          \
    X(pipe,               124, FD_PAIR,    NONE,       NONE)         \
    X(mkfifo,             125, PATH,       NONE,       NONE)         \
    X(dup,                126, FD,         NONE,       NONE)         \
    X(dup2,               127, FD,         FD,         ZERO)         \
    X(fd_set_inherit,     128, FLAG,       NONE,       NONE)         \
    X(fd_set_stdio,       129, INT,        INT,        INT)          \
    X(fd_set_nonblock,    130, FD,         FLAG,       ZERO)         \
    X(spawn,              131, PATH,       PTR,        INT)          \
    X(waitpid,            132, INT,        PTR,        INT)

/* The window service. */
#define VEKOS_GUI_CALLS(X)                                            \
    X(gui_create,                8,   STR,    STR,       ZERO)        \
    X(gui_set_title,             9,   WORD,   WORD,      ZERO)        \
    X(gui_begin,                 10,  HANDLE, NONE,      NONE)        \
    X(gui_clear,                 11,  HANDLE, COLOR_REC, ZERO)        \
    X(gui_fill_rect,             12,  HANDLE, RECT_REC,  ZERO)        \
    X(gui_draw_text,             13,  HANDLE, TEXT_REC,  ZERO)        \
    X(gui_present,               14,  HANDLE, NONE,      NONE)        \
    X(gui_poll_event,            15,  HANDLE, EVENT_REC, EVENT_SIZE)  \
    X(gui_wait_event,            16,  HANDLE, EVENT_REC, EVENT_SIZE)  \
    X(gui_attach,                17,  STR,    STR,       ZERO)        \
    X(gui_draw_line,             18,  WORD,   WORD,      ZERO)        \
    X(gui_get_content_size,      19,  WORD,   WORD,      ZERO)        \
    X(gui_set_font,              20,  WORD,   WORD,      ZERO)        \
    X(gui_set_continuous_redraw, 23,  WORD,   WORD,      ZERO)        \
    X(gui_blit_rgb565,           24,  WORD,   WORD,      ZERO)        \
    X(gui_draw_icon,             105, WORD,   WORD,      ZERO)        \
    X(gui_outline_rect,          106, WORD,   WORD,      ZERO)        \
    X(gui_draw_char,             107, WORD,   WORD,      ZERO)        \
    X(gui_get_font_metrics,      108, WORD,   WORD,      ZERO)        \
    X(gui_warp_mouse,            111, WORD,   WORD,      WORD)        \
    X(gui_set_cursor_visible,    112, WORD,   WORD,      ZERO)        \
    X(gui_load_font,             137, WORD,   WORD,      ZERO)        \
    X(gui_draw_text_font,        138, WORD,   WORD,      ZERO)        \
    X(gui_draw_char_font,        139, WORD,   WORD,      ZERO)

/* clang-format on */

#define VEKOS_ALL_CALLS(X) VEKOS_GENERAL_CALLS(X) VEKOS_GUI_CALLS(X)

/* VEKOS_SYS_write, VEKOS_SYS_gui_create, ... */
#define VEKOS_CALL_ENUMERATOR(name, number, ebx, ecx, edx) VEKOS_SYS_##name = (number),
enum vekos_call_number { VEKOS_ALL_CALLS(VEKOS_CALL_ENUMERATOR) };
#undef VEKOS_CALL_ENUMERATOR

#endif
