#!/bin/sh
# C++ with the SDK: a program of classes, virtual functions, templates,
# new and delete and local statics runs; new on an exhausted heap ends the
# program with a message; a global constructor or destructor fails the link.
#   sdk_cxx.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
cc="$build/sdk/bin/vekos-cc"
run="$build/bin/vekos-run"

"$cc" "$here/shapes.cpp" -o shapes || fail "vekos-cc shapes.cpp"
expect 7 "$run" ./shapes
[ "$out" = "area 22, squares 25, aligned yes, nothrow null, placed 9, calls 102, entries 3" ] ||
    fail "shapes printed: $out"

printf 'char *volatile last;\nint main() { for (;;) last = new char[4096]; }\n' > hog.cpp
"$cc" hog.cpp -o hog || fail "vekos-cc hog.cpp"
expect 1 "$run" ./hog
[ "$out" = "operator new: out of memory (the heap holds 1 MiB)" ] || fail "hog printed: $out"

# A C program takes nothing of the C++ support.
"$cc" "$here/hello.c" -o hello || fail "vekos-cc hello.c"
nm hello | grep -E '_Zn|_Zd|__cxa' && fail "hello.c links C++ support"

refusal="vekos programs run no global constructors or destructors: construct the object in main, or make it a function-local static"
printf 'struct Count { int n; Count() : n(1) {} };\nCount count;\nint main() { return count.n; }\n' > ctor.cpp
printf 'volatile int seen;\nstruct Last { ~Last() { seen = 1; } };\nLast last;\nint main() { return 0; }\n' > dtor.cpp
for source in ctor.cpp dtor.cpp; do
    expect 1 "$cc" $source -o refused
    echo "$out" | grep -q "ld: $refusal\$" || fail "$source: $out"
    [ ! -e refused ] || fail "$source left a program"
done
echo "sdk c++: 3 programs built, 2 run, 2 refused"
