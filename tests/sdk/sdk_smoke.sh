#!/bin/sh
# Builds programs with the SDK as a user would and runs them under vekos-run.
#   sdk_smoke.sh BUILD_DIR
. "$(dirname "$0")/common.sh"

"$build/sdk/bin/vekos-cc" "$here/hello.c" -o hello || fail "vekos-cc hello.c"
"$build/sdk/bin/vekos-cc" "$here/hello.cpp" -o hellocpp || fail "vekos-cc hello.cpp"

# A static i386 executable, no interpreter, no dynamic section.
readelf -h hello | grep -q 'Intel 80386' || fail "hello is not i386"
readelf -h hello | grep -q 'EXEC' || fail "hello is not an executable"
readelf -l hello | grep -qE 'INTERP|DYNAMIC' && fail "hello has an interpreter or dynamic section"

mkdir root
expect 3 "$build/bin/vekos-run" --root root ./hello a "b c"
[ "$out" = "hello from C
a
b c" ] || fail "hello printed: $out"
[ "$(cat root/made-by-c.txt)" = "c file" ] || fail "hello's file did not land in --root"

out=$("$build/bin/vekos-run" ./hellocpp) || fail "hellocpp failed"
[ "$out" = "hello from C++" ] || fail "hellocpp printed: $out"

# Objects, then a link, as a build system would do it.
"$build/sdk/bin/vekos-cc" -c "$here/hello.c" -o hello.o || fail "vekos-cc -c"
"$build/sdk/bin/vekos-cc" hello.o -o linked || fail "vekos-cc link of an object"
expect 3 "$build/bin/vekos-run" --root root ./linked

# Only what a program can reach is linked: without an opener of memory or
# whole-file streams, records of those kinds filled by hand are refused.
"$build/sdk/bin/vekos-cc" "$here/handmade_stream.c" -o handmade || fail "vekos-cc handmade_stream.c"
nm handmade | grep -qwE 'realloc|memcpy|writefile' && fail "handmade links the buffered streams' code"
expect 3 "$build/bin/vekos-run" ./handmade # 3 refusals

# A compile error is reported, not hidden.
printf 'int main(void) { return nope; }\n' > broken.c
if "$build/sdk/bin/vekos-cc" broken.c -o broken 2>/dev/null; then fail "broken.c compiled"; fi
echo "sdk smoke: 5 programs built and run"
