// A C++ program as users write them: classes with virtual functions, a
// template, new and delete in their forms, and function-local statics (the
// way to have a global object, since no global constructor runs).  Prints
// what it computed; exits 7.
#include <new>
#include <stdio.h>

namespace {

struct Shape {
    virtual ~Shape() = default;
    virtual int area() const = 0;
};

struct Rect : Shape {
    int w, h;
    Rect(int w_, int h_) : w(w_), h(h_) {}
    int area() const override { return w * h; }
};

struct Square : Rect {
    explicit Square(int side) : Rect(side, side) {}
};

template <typename T, int N>
struct Stack {
    T items[N];
    int size = 0;
    void push(T item) { items[size++] = item; }
};

struct alignas(16) Block {
    int words[4];
};

// Constructed on first use, in main's time.
int &calls()
{
    static int count = [] { return 100; }();
    return ++count;
}

struct Registry {
    int entries;
    Registry() : entries(3) {}
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

} // namespace

int main()
{
    auto *shapes = new Stack<Shape *, 4>;
    shapes->push(new Rect(2, 3));
    shapes->push(new Square(4));
    int total = 0;
    for (int i = 0; i < shapes->size; i++)
        total += shapes->items[i]->area();
    for (int i = 0; i < shapes->size; i++)
        delete shapes->items[i];
    delete shapes;

    int *squares = new int[5];
    for (int i = 0; i < 5; i++)
        squares[i] = i * i;
    int sum = squares[4] + squares[3];
    delete[] squares;

    Block *block = new Block;
    unsigned misaligned = reinterpret_cast<unsigned>(block) % alignof(Block);
    delete block;

    char *huge = new (std::nothrow) char[2u << 20]; // more than the heap holds
    int slot;
    int *placed = new (&slot) int(9);

    calls();
    printf("area %d, squares %d, aligned %s, nothrow %s, placed %d, calls %d, entries %d\n", total, sum,
           misaligned ? "no" : "yes", huge ? "got memory" : "null", *placed, calls(), registry().entries);
    return 7;
}
