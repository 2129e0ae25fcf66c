#!/bin/sh
# make run with a DISPLAY (or WAYLAND_DISPLAY) that nothing answers on, and
# no terminal: it says so and falls back to the headless recording, with no
# error from the window system.
#   run_no_server.sh SOURCE_DIR BUILD_DIR
source=$(cd "$1" && pwd)
# The SDK scripts' set-up and checks, for the build folder.
set -- "$2"
. "$(dirname "$0")/sdk/common.sh"

# A build folder of its own, so the recording lands in the scratch folder.
mkdir "$work/bin"
ln -s "$build/bin/vekos-run" "$build/bin/paneprobe" "$work/bin/"
n=99
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done

for display in "DISPLAY=:$n" "WAYLAND_DISPLAY=wayland-$n"; do
    expect 0 env -u DISPLAY -u WAYLAND_DISPLAY "$display" timeout 120 sh "$source/scripts/run.sh" "$work" 20 </dev/null
    [ "$out" = "make run: no display answers on ${display#*=}; not using it
make run: no display and no terminal: paneprobe headless for 20 frames
make run: the frames are in $work/paneprobe.gif
paneprobe exited with status 0" ] || fail "$display: printed: $out"
    [ "$(head -c 6 "$work/paneprobe.gif")" = GIF89a ] || fail "$display: no recording"
    rm "$work/paneprobe.gif"
done
echo "make run: no server on :$n nor wayland-$n, recorded headless both times"
