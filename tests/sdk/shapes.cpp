// A C++ program as users write them: classes with virtual functions, a
// template, new and delete in their forms, and function-local statics (the
// way to have a global object, since no global constructor runs).  Prints
// what it computed through a memory stream, with one write; exits 7.
#include <new>
#include <stdio.h>
#include <unistd.h>

namespace {

struct Shape { virtual ~Shape() = default; virtual int area() const = 0; };
struct Rect : Shape { int w, h; Rect(int w_, int h_) : w(w_), h(h_) {} int area() const override { return w * h; } };
struct Square : Rect { explicit Square(int side) : Rect(side, side) {} };
template <typename T, int N> struct Stack { T items[N]; int size = 0; void push(T item) { items[size++] = item; } };
struct alignas(16) Block { int words[4]; };
struct Registry { int entries; Registry() : entries(3) {} };

// Constructed on first use, in main's time.
int &calls() { static int count = [] { return 100; }(); return ++count; }
Registry &registry() { static Registry instance; return instance; }

} // namespace

int main()
{
    auto *shapes = new Stack<Shape *, 4>;
    shapes->push(new Rect(2, 3)), shapes->push(new Square(4));
    int total = 0;
    for (int i = 0; i < shapes->size; i++)
        total += shapes->items[i]->area(), delete shapes->items[i];
    delete shapes;
    int *squares = new int[5]{0, 1, 4, 9, 16}, sum = squares[4] + squares[3];
    delete[] squares;
    Block *block = new Block;
    const bool aligned = reinterpret_cast<unsigned>(block) % alignof(Block) == 0;
    delete block;
    char *huge = new (std::nothrow) char[2u << 20]; // more than the heap holds
    int slot, *placed = new (&slot) int(9);
    calls();
    char *text;
    size_t length;
    FILE *memory = open_memstream(&text, &length);
    fprintf(memory, "area %d, squares %d, aligned %s, nothrow %s, placed %d, calls %d, entries %d\n", total, sum,
            aligned ? "yes" : "no", huge ? "got memory" : "null", *placed, calls(), registry().entries);
    write(1, text, length);
    return 7;
}
