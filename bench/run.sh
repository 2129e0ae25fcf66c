#!/bin/sh
# Runs every vekos benchmark and prints a short summary of the figures.
# Usage: sh bench/run.sh BUILD_DIR   (`make bench` builds first, then runs this)
# Full outputs are kept in BUILD_DIR/bench/*.txt.
set -eu

build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
bench=$build/bench
for need in "$bench/programs.txt" "$bench/vekos_bench" "$bench/vekos_bench_console" \
    "$bench/vekos_bench_write_loop" "$build/bin/vekos-run"; do
    if [ ! -e "$need" ]; then
        echo "bench: $need is missing (run 'make build' first)" >&2
        exit 1
    fi
done
status=0

# qemu-i386 is only needed here, to compare console writes; it is not part of setup.
if ! command -v qemu-i386 >/dev/null 2>&1; then
    echo "bench: installing qemu-user for the console comparison"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends qemu-user; } >/dev/null ||
        echo "bench: could not install qemu-user; the comparison is skipped" >&2
fi

# The i386 Linux twin of the guest's write loop, for qemu-i386.
linux_prog=$bench/linux_write_loop
if ! gcc -m32 -static -O2 -DWRITE_CALL=4 -o "$linux_prog" "$here/write_loop.c"; then
    echo "bench: cannot build an i386 static Linux program (g++-multilib?); the comparison is skipped" >&2
    linux_prog=""
fi

echo "== machine, calls, kernel calls, memory hook (about a minute; tables in $bench/vekos_bench.txt)"
if ! "$bench/vekos_bench" --benchmark_repetitions=3 >"$bench/vekos_bench.txt" 2>&1; then
    cat "$bench/vekos_bench.txt" >&2
    exit 1
fi

echo "== console writes, vekos-run against qemu-i386"
qemu=$(command -v qemu-i386 || true)
set -- "$build/bin/vekos-run" "$bench/vekos_bench_write_loop"
[ -n "$qemu" ] && [ -n "$linux_prog" ] && set -- "$@" "$qemu" "$linux_prog"
if ! "$bench/vekos_bench_console" "$@" >"$bench/vekos_bench_console.txt" 2>&1; then
    echo "bench: vekos_bench_console failed" >&2
    status=1
fi

# The other benchmark programs, each printing its own figures.
others=""
while IFS= read -r program; do
    case $(basename "$program") in
    vekos_bench | "") continue ;;
    esac
    name=$(basename "$program")
    echo "== $name"
    if [ ! -x "$program" ]; then
        echo "bench: $program is not built" >"$bench/$name.txt"
        status=1
    elif ! "$program" >"$bench/$name.txt" 2>&1; then
        echo "bench: $name failed" >>"$bench/$name.txt"
        status=1
    fi
    others="$others $name"
done <"$bench/programs.txt"

echo
sed -n '/==== vekos benchmark summary/,$p' "$bench/vekos_bench.txt" | grep -v '^(5\.'
cat "$bench/vekos_bench_console.txt"
for name in $others; do
    echo
    echo "---- $name"
    cat "$bench/$name.txt"
done
exit $status
