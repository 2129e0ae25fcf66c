// A window program for the display tests; argv[1] says what it does:
//   fault   presents one green frame, then writes to address 0 (the default)
//   wait    opens a window titled with a terminal escape sequence and waits
//           for events for ever
//   chatty  presents frames and writes a line to standard output after each
#include <gui.h>
#include <string.h>
#include <unistd.h>

extern "C" int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "fault";
    const bool wait = strcmp(mode, "wait") == 0, chatty = strcmp(mode, "chatty") == 0;
    const int handle = wait ? gui_create("\x1b]2;pwned\x07title", "hint\x1b[2J") : gui_create("Window", "");
    gui_event event;
    for (int frame = 0; frame == 0 || chatty; ++frame) {
        if (frame > 0)
            write(1, "frame\n", 6), usleep(16000);
        gui_begin(handle);
        const gui_color green = {0x0000FF00};
        gui_clear(handle, &green);
        gui_present(handle);
    }
    while (wait)
        gui_wait_event(handle, &event);
    usleep(200000);
    volatile unsigned long nowhere = 0; // through a volatile, so it stays a store
    *reinterpret_cast<volatile int *>(nowhere) = 1;
    return 0;
}
