#!/bin/sh
# C++ with the SDK: a program of classes, virtual functions, templates,
# new and delete and local statics runs; new on an exhausted heap ends the
# program with a message; a global constructor or destructor fails the link.
#   sdk_cxx.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
cc="$build/sdk/bin/vekos-cc"

printf 'char *volatile last;\nint main() { for (;;) last = new char[4096]; }\n' > hog.cpp
"$cc" "$here/shapes.cpp" -o shapes && "$cc" hog.cpp -o hog || fail "vekos-cc shapes.cpp, hog.cpp"
expect 7 "$build/bin/vekos-run" ./shapes
[ "$out" = "$shapes_said" ] || fail "shapes printed: $out"
expect 1 "$build/bin/vekos-run" ./hog
[ "$out" = "operator new: out of memory (the heap holds 1 MiB)" ] || fail "hog printed: $out"

printf 'struct Count { int n; Count() : n(1) {} };\nCount count;\nint main() { return count.n; }\n' > ctor.cpp
printf 'volatile int seen;\nstruct Last { ~Last() { seen = 1; } };\nLast last;\nint main() { return 0; }\n' > dtor.cpp
for source in ctor.cpp dtor.cpp; do
    expect 1 "$cc" $source -o refused
    echo "$out" | grep -q "ld: vekos programs run no global constructors or destructors: construct the object in main, or make it a function-local static\$" ||
        fail "$source: $out"
    [ ! -e refused ] || fail "$source left a program"
done
echo "sdk c++: 2 programs built and run, 2 refused"
