# Sourced by the SDK scripts, whose first argument is the build folder: that
# folder, a scratch folder (removed on exit, and the current folder), the
# folder of the sources, and the checks.
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
# expect STATUS COMMAND...: the command, with its output in $out, ends with STATUS.
expect() {
    want=$1; shift
    out=$("$@" 2>&1) && got=0 || got=$?
    [ "$got" -eq "$want" ] || fail "$* ended with $got, not $want: $out"
}
# What tests/sdk/shapes.cpp prints.
shapes_said="area 22, squares 25, aligned yes, nothrow null, placed 9, calls 102, entries 3"
cd "$work"
