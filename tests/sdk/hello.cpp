// The same in C++, with the runtime's headers and a class.
#include <stdio.h>
#include <unistd.h>

namespace {
struct Greeter {
    const char *text;
    unsigned size;
    // Through a memory stream, then one write of what it collected.
    void greet() const
    {
        char *buffer;
        size_t length;
        FILE *memory = open_memstream(&buffer, &length);
        fwrite(text, 1, size, memory);
        write(1, buffer, length);
    }
};
} // namespace

extern "C" int main()
{
    constexpr Greeter greeter{"hello from C++\n", 15};
    greeter.greet();
    return 0;
}
