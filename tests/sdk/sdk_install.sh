#!/bin/sh
# `make install` as a user meets it: the build installed into a prefix, the
# prefix moved elsewhere (an installed vekos-cc finds its SDK from where it
# lies), and a C++ program built and run from there alone.
#   sdk_install.sh BUILD_DIR
. "$(dirname "$0")/common.sh"

cmake --install "$build" --prefix "$work/first" >/dev/null || fail "cmake --install"
mv "$work/first" "$work/moved"
prefix=$work/moved
for file in bin/vekos-run bin/vekos-cc include/vekos/stdio.h include/vekos/new lib/vekos/libvekos.a \
    lib/vekos/libvekos++.a lib/vekos/crt0.o lib/vekos/vekos.ld share/doc/vekos/README.md share/doc/vekos/docs/sdk.md; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
grep -qF "$build" "$prefix/bin/vekos-cc" && fail "the installed vekos-cc names the build folder"
"$prefix/bin/vekos-cc" "$here/shapes.cpp" -o shapes || fail "installed vekos-cc shapes.cpp"
expect 7 "$prefix/bin/vekos-run" ./shapes
[ "$out" = "$shapes_said" ] || fail "shapes printed: $out"
echo "sdk install: installed, moved, built and run"
