// The same in C++, with the runtime's headers and a class.
#include <unistd.h>

namespace {
struct Greeter {
    const char *text;
    unsigned size;
    void greet() const { write(1, text, size); }
};
} // namespace

extern "C" int main()
{
    constexpr Greeter greeter{"hello from C++\n", 15};
    greeter.greet();
    return 0;
}
