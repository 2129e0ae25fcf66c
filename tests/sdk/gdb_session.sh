#!/bin/sh
# Real gdb against vekos-run --gdb: breakpoints, steps, locals and globals,
# a changed variable changing the output, a watchpoint, the x87 registers,
# each kind of fault as its signal, the exit code, detach and kill.
. "$(dirname "$0")/common.sh"
"$build/sdk/bin/vekos-cc" -g -O0 "$here/debuggee.c" -o debuggee
# debug "ARGS" GDB-COMMANDS...: vekos-run waits on a free port; gdb's output in $said, its status in $status.
debug() {
    : >err # emptied here: the last run's port must never be read before the new one writes
    timeout 60 "$build/bin/vekos-run" --gdb 0 ./debuggee $1 >out 2>err & pid=$!
    shift
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's/.*target remote :\([0-9]*\))$/\1/p' err)
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || fail "vekos-run named no port: $(cat err)"
    set -- -ex "target remote :$port" "$@"
    said=$(timeout 60 gdb -batch -nx -ex "set confirm off" "$@" ./debuggee 2>&1) || true
    wait $pid && status=0 || status=$?
}
has() { printf '%s\n' "$said" | grep -qxF -- "$1" || fail "gdb did not say \"$1\": $said"; }

debug "" -ex "break twice" -ex continue -ex "print value" -ex finish -ex next -ex "print local" \
    -ex "print counter" -ex "x/4xb &counter" -ex "set var local = 41" -ex "watch total" -ex continue \
    -ex "info registers eip" -ex "info float" -ex "delete" -ex continue
has "Breakpoint 1, twice (value=3) at $here/debuggee.c:12"
has '$1 = 3'
has 'Value returned is $2 = 6'
has '$3 = 6'
has '$4 = 3'
has "$(printf '%s:\t0x03\t0x00\t0x00\t0x00' "$(printf '%s\n' "$said" | grep -o '^0x[0-9a-f]* <counter>' | head -1)")"
has 'Old value = 0'
has 'New value = 42'
printf '%s\n' "$said" | grep -qE '^eip +0x[0-9a-f]+ +0x[0-9a-f]+ <main\+[0-9]+>$' || fail "no eip in main: $said"
printf '%s\n' "$said" | grep -qF '  R7: Empty   0x00000000000000000000' || fail "no x87 stack: $said"
has 'Control Word:        0x037f   IM DM ZM OM UM PM'
has '[Inferior 1 (Remote target) exited with code 051]'
[ "$status" -eq 41 ] && [ "$(cat out)" = "result 41" ] || fail "status $status, output $(cat out)"

for row in "segv SIGSEGV 139" "ill SIGILL 132" "fpe SIGFPE 136" "trap SIGTRAP 139"; do
    set -- $row
    debug "$1" -ex continue -ex continue
    printf '%s\n' "$said" | grep -q "^Program received signal $2, " || fail "$1: no $2: $said"
    printf '%s\n' "$said" | grep -q "^Program terminated with signal $2, " || fail "$1: not ended: $said"
    [ "$status" -eq "$3" ] || fail "$1: status $status, not $3"
done

debug "" -ex "break main" -ex continue -ex detach
[ "$status" -eq 6 ] && [ "$(cat out)" = "result 6" ] || fail "detached: status $status, output $(cat out)"
debug "" -ex "break main" -ex continue -ex kill
[ "$status" -eq 137 ] && [ ! -s out ] && grep -qF "killed by the debugger" err || fail "killed: status $status"
