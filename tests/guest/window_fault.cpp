// Opens a window, presents one green frame, then writes to address 0: a
// guest fault while a display is showing the window.
#include <gui.h>
#include <unistd.h>

extern "C" int main()
{
    int handle = gui_create("Fault", "");
    gui_begin(handle);
    const gui_color green = {0x0000FF00};
    gui_clear(handle, &green);
    gui_present(handle);
    usleep(200000);
    volatile unsigned long nowhere = 0;  // through a volatile, so it stays a store
    *reinterpret_cast<volatile int*>(nowhere) = 1;
    return 0;
}
