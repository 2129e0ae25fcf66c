#!/bin/sh
# Builds C programs with the SDK as a user would and runs them under vekos-run
# (C++: sdk_cxx.sh).
#   sdk_smoke.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
cc="$build/sdk/bin/vekos-cc"
run="$build/bin/vekos-run"

"$cc" "$here/hello.c" -o hello || fail "vekos-cc hello.c"
nm hello | grep -E '_Zn|_Zd|__cxa' && fail "hello.c links C++ support" # none for a C program

mkdir root
# vekos-run loads only static i386 executables, with no interpreter and no dynamic section.
expect 3 "$run" --root root ./hello a "b c"
[ "$out" = "$(printf 'hello from C\na\nb c')" ] || fail "hello printed: $out"
[ "$(cat root/made-by-c.txt)" = "c file" ] || fail "hello's file did not land in --root"

# Objects, then a link, as a build system would do it.
"$cc" -c "$here/hello.c" -o hello.o && "$cc" hello.o -o linked || fail "vekos-cc -c, then a link of the object"
expect 3 "$run" --root root ./linked

# Only what a program can reach is linked: without an opener of memory or
# whole-file streams, records of those kinds filled by hand are refused.
"$cc" "$here/handmade_stream.c" -o handmade || fail "vekos-cc handmade_stream.c"
nm handmade | grep -qwE 'realloc|memcpy|writefile' && fail "handmade links the buffered streams' code"
expect 3 "$run" ./handmade # 3 refusals

# A compile error is reported, not hidden.
printf 'int main(void) { return nope; }\n' > broken.c
expect 1 "$cc" broken.c -o broken
echo "$out" | grep -q "error:.*nope" || fail "broken.c: $out"
echo "sdk smoke: 3 programs built and run, 1 refused"
