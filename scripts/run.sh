#!/bin/sh
# paneprobe under vekos-run, as `make run` shows it:
#   run.sh BUILD_DIR [HEADLESS_FRAMES]
# In a window when a display answers, else in this terminal when there is one
# (both in real time, q or Escape quits), else headless for HEADLESS_FRAMES
# frames (404: the rectangle there and back) recorded as BUILD_DIR/paneprobe.gif.
set -u
build=$1
frames=${2:-404}
run="$build/bin/vekos-run"
prog="$build/bin/paneprobe"

# A display counts only when something answers on it: a DISPLAY with no X
# server behind it (or xdpyinfo missing) falls back like no DISPLAY at all.
display_answers() {
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        case $WAYLAND_DISPLAY in
            /*) socket=$WAYLAND_DISPLAY ;;
            *) socket=${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY ;;
        esac
        [ -S "$socket" ] && return 0
    fi
    [ -n "${DISPLAY:-}" ] && timeout 5 xdpyinfo >/dev/null 2>&1
}

if display_answers; then
    echo "make run: paneprobe in a window; q or Escape quits"
    "$run" --display window "$prog"; status=$?
else
    displays=$(echo ${DISPLAY:-} ${WAYLAND_DISPLAY:-})
    [ -z "$displays" ] || echo "make run: no display answers on $displays; not using it"
    if [ -t 0 ] && [ -t 1 ]; then
        "$run" --display terminal "$prog"; status=$?
    else
        gif="$(cd "$build" && pwd)/paneprobe.gif"
        echo "make run: no display and no terminal: paneprobe headless for $frames frames"
        "$run" --display none --fast --timeout 60 --frames "$frames" --record "$gif" "$prog"
        status=$?
        [ $status -eq 0 ] && echo "make run: the frames are in $gif"
    fi
fi
echo "paneprobe exited with status $status"
exit $status
