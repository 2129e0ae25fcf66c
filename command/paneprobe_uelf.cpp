// paneprobe: the legacy window-test command.  Opens a window, slides a
// rectangle back and forth under a caption, and quits on q, Q or Escape.
#include <gui.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr unsigned background = 0x001E1E1E;
constexpr unsigned rectangle_color = 0x00FFB482;
constexpr unsigned caption_color = 0x00DEDEDE;
constexpr int rect_y = 90, rect_w = 140, rect_h = 90;
constexpr int caption_x = 10, caption_y = 10;
constexpr int start_x = 80, step = 2, left_bound = 20, right_bound = 420;
constexpr unsigned frame_pause_us = 16000;
constexpr int key_escape = 27;
constexpr int letter_q_upper = 0x51;
constexpr int case_bit = 0x20;

bool is_quit_key(int code) { return (code & ~case_bit) == letter_q_upper || code == key_escape; }

// The command's record, read by package tools from the executable; nothing here uses it.
struct CommandRecord {
    char bytes[96];
};
[[gnu::used, gnu::section(".vekos.cmdmeta"), gnu::aligned(32)]] const CommandRecord g_cmdmeta_0 asm("g_cmdmeta_0")
    = {"VCMD\x01\x00\x00\x00"
       "Legacy kernel window-test command (migrated default is userland 'panedemo').\0"
       "paneprobe\0"};
static_assert(sizeof(g_cmdmeta_0) == 96);

} // namespace

extern "C" int main(int argc, char **argv)
{
    if (argc > 1 && argv[1] && strcmp(argv[1], "-h") == 0) {
        puts("Usage: paneprobe");
        return 0;
    }
    int handle = gui_create("Legacy Window Test", "q/esc quits");
    if (handle < 0)
        handle = gui_attach("Legacy Window Test", "q/esc quits");
    if (handle < 0) {
        puts("paneprobe: failed to initialize GUI");
        return 1;
    }

    int x = start_x;
    int dx = step;
    gui_event event;
    bool running;
    do {
        running = true;
        while (gui_poll_event(handle, &event) > 0) {
            if (event.type == GUI_EVENT_KEY && is_quit_key(event.code))
                running = false; // keep draining: the rest of the events go too
        }
        if (x < left_bound)
            dx = step;
        else if (x > right_bound)
            dx = -step;
        x += dx;

        gui_begin(handle);
        const gui_color clear = {background};
        gui_clear(handle, &clear);
        const gui_rect rect = {x, rect_y, rect_w, rect_h, rectangle_color};
        gui_fill_rect(handle, &rect);
        const gui_text caption = {caption_x, caption_y, caption_color, "Legacy window test command"};
        gui_draw_text(handle, &caption);
        gui_present(handle);
        usleep(frame_pause_us);
    } while (running);
    return 0;
}
