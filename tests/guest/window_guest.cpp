// A window program that opens its window and waits for events for ever (run as "window_guest wait").
#include <gui.h>

extern "C" int main()
{
    const int handle = gui_create("Window", "");
    gui_event event;
    for (;;)
        gui_wait_event(handle, &event);
}
