#!/bin/sh
# make coverage: the test suite runs once as usual and once with the line
# coverage of the guest code (runtime/, kernel/, start/, command/, built with
# line tables); prints the slowdown and the coverage per folder, and renders
# an HTML report with genhtml.  $1: the build folder.
set -eu
source_dir=$(pwd)
build=$1
jobs=$(nproc)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEKOS_GUEST_DEBUG_INFO=ON >/dev/null
cmake --build "$build" -j "$jobs"
out="$(cd "$build" && pwd)/coverage" # absolute: each test runs in a folder of its own
rm -rf "$out"
mkdir -p "$out"
now() { date +%s.%N; }
# The fuzzers run for a fixed time and the display tests wait on other processes: neither says much here.
skip='fuzz_|X11Window|TerminalDisplay'
start=$(now)
ctest --test-dir "$build" -E "$skip" -j "$jobs" >/dev/null
plain=$(now)
VEKOS_COVERAGE="$out/all.info" ctest --test-dir "$build" -E "$skip" -j "$jobs" --output-on-failure >/dev/null
covered=$(now)
echo "test run: $(echo "$plain - $start" | bc) s, with coverage $(echo "$covered - $plain" | bc) s:" \
    "$(echo "scale=2; ($covered - $plain) / ($plain - $start)" | bc) times as long"
lcov --quiet --extract "$out/all.info" "$source_dir/runtime/*" "$source_dir/kernel/*" "$source_dir/start/*" \
    "$source_dir/command/*" --output-file "$out/guest.info"
genhtml --quiet "$out/guest.info" --prefix "$source_dir" --output-directory "$out/html"
# Lines with code and lines run, per top folder: from the SF, LF and LH records.
awk -v root="$source_dir/" '
    /^SF:/ { folder = substr($0, 4); sub(root, "", folder); sub("/.*", "/", folder) }
    /^LF:/ { found[folder] += substr($0, 4); all_found += substr($0, 4) }
    /^LH:/ { hit[folder] += substr($0, 4); all_hit += substr($0, 4) }
    END {
        for (f in found) printf "%-10s %5d of %5d lines  %5.1f%%\n", f, hit[f], found[f], 100 * hit[f] / found[f]
        printf "%-10s %5d of %5d lines  %5.1f%%\n", "all", all_hit, all_found, 100 * all_hit / all_found
    }' "$out/guest.info" | sort
echo "report: $out/html/index.html"
