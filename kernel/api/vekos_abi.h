/*
 * What passes between a vekos program and its kernel besides registers: the
 * window service's records and event codes, the open flags and seek origins.
 * One header for both sides: the library's wrappers (freestanding i386) and
 * the stand-in (host C++), which reads the records out of guest memory.
 * Every record is a run of 32-bit little-endian fields without padding; the
 * sizes and offsets are checked here, for both compilers.
 */
#ifndef VEKOS_ABI_H
#define VEKOS_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VEKOS_ABI_ASSERT(what, why) static_assert(what, why)
#else
#define VEKOS_ABI_ASSERT(what, why) _Static_assert(what, why)
#endif

/* A pointer into the program's memory: a real pointer in the program, a
   32-bit address on the host. */
#if defined(__i386__) && !defined(VEKOS_HOST)
typedef const char *vekos_text_ptr;
#else
typedef uint32_t vekos_text_ptr;
#endif

/* gui_clear's record. */
typedef struct gui_color {
    uint32_t color; /* 0x00RRGGBB */
} gui_color;

/* gui_fill_rect's record. */
typedef struct gui_rect {
    int32_t x;
    int32_t y;
    int32_t w;
    int32_t h;
    uint32_t color;
} gui_rect;

/* gui_draw_text's record. */
typedef struct gui_text {
    int32_t x;
    int32_t y;
    uint32_t color;
    vekos_text_ptr text; /* NUL-terminated */
} gui_text;

/* The record gui_poll_event and gui_wait_event fill. */
typedef struct gui_event {
    int32_t type;    /* GUI_EVENT_KEY for a key */
    int32_t code;    /* a key's character code: 'q', 'Q', GUI_KEY_ESCAPE */
    int32_t data[3]; /* further event data */
} gui_event;

#define GUI_EVENT_KEY 1
#define GUI_KEY_ESCAPE 27
#define GUI_EVENT_SIZE 20 /* what the event calls pass in edx */

VEKOS_ABI_ASSERT(sizeof(gui_color) == 4, "gui_color is one word");
VEKOS_ABI_ASSERT(sizeof(gui_rect) == 20 && offsetof(gui_rect, color) == 16, "gui_rect is five words");
VEKOS_ABI_ASSERT(sizeof(gui_text) == 16 && offsetof(gui_text, color) == 8 && offsetof(gui_text, text) == 12,
    "gui_text is four words, the text pointer last");
VEKOS_ABI_ASSERT(
    sizeof(gui_event) == GUI_EVENT_SIZE && offsetof(gui_event, code) == 4 && offsetof(gui_event, data) == 8,
    "gui_event is five words");

/* The open call's flags the kernel examines (Linux's values); the library's
   fcntl.h gives them their usual names. */
#define VEKOS_O_RDONLY 0x0
#define VEKOS_O_WRONLY 0x1
#define VEKOS_O_RDWR 0x2
#define VEKOS_O_ACCMODE 0x3
#define VEKOS_O_CREAT 0x40
#define VEKOS_O_EXCL 0x80
#define VEKOS_O_TRUNC 0x200
#define VEKOS_O_APPEND 0x400
#define VEKOS_O_DIRECTORY 0x10000

/* lseek's origins. */
#define VEKOS_SEEK_SET 0
#define VEKOS_SEEK_CUR 1
#define VEKOS_SEEK_END 2

#endif
