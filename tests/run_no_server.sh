#!/bin/sh
# make run with a DISPLAY (or WAYLAND_DISPLAY) that nothing answers on, and
# no terminal: it says so and falls back to the headless recording, with no
# error from the window system.
#   run_no_server.sh SOURCE_DIR BUILD_DIR
set -eu
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A build folder of its own, so the recording lands in the scratch folder.
mkdir "$work/bin"
ln -s "$build/bin/vekos-run" "$build/bin/paneprobe" "$work/bin/"
n=99
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done

for display in "DISPLAY=:$n" "WAYLAND_DISPLAY=wayland-$n"; do
    set +e
    env -u DISPLAY -u WAYLAND_DISPLAY "$display" timeout 120 sh "$source/scripts/run.sh" "$work" 20 \
        </dev/null >"$work/out" 2>"$work/err"
    status=$?
    set -e
    [ "$status" -eq 0 ] || fail "$display: status $status: $(cat "$work/out" "$work/err")"
    [ ! -s "$work/err" ] || fail "$display: errors: $(cat "$work/err")"
    [ "$(cat "$work/out")" = "make run: no display answers on ${display#*=}; not using it
make run: no display and no terminal: paneprobe headless for 20 frames
make run: the frames are in $work/paneprobe.gif
paneprobe exited with status 0" ] || fail "$display: printed: $(cat "$work/out")"
    [ "$(head -c 6 "$work/paneprobe.gif")" = GIF89a ] || fail "$display: no recording"
    rm "$work/paneprobe.gif"
done
echo "make run: no server on :$n nor wayland-$n, recorded headless both times"
