#!/usr/bin/env bash
# Runs under xvfb-run: two real launchers for one user, then a start after a SIGKILL.
set -u
launcher="$1"
work="$(mktemp -d)"
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
# One user's session of its own: its runtime directory holds the instance lock.
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"

fail() { echo "FAIL: $*"; exit 1; }

# Waits up to 60 s for a visible window with the given title; prints its id.
wait_window() {
    for _ in $(seq 600); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
count_windows() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l; }

"$launcher" & first=$!
wait_window "Korvina Launcher" >/dev/null || fail "first launcher shows no window"

"$launcher" > "$work/second.log" 2>&1 & second=$!
dialog=$(wait_window "KorvinaNet") || fail "second launcher shows no refusal"
[ "$(count_windows "Korvina Launcher")" -eq 1 ] || fail "second launcher opened a main window"
xdotool windowactivate --sync "$dialog" 2>/dev/null || xdotool windowfocus --sync "$dialog"
xdotool key --window "$dialog" Escape
for _ in $(seq 100); do kill -0 $second 2>/dev/null || break; sleep 0.1; done
kill -0 $second 2>/dev/null && fail "second launcher still runs after its dialog was closed"
wait $second; rc=$?
[ $rc -eq 0 ] || fail "second launcher exited with $rc"
kill -0 $first 2>/dev/null || fail "first launcher died"

kill -9 $first; wait $first 2>/dev/null
"$launcher" & third=$!
wait_window "Korvina Launcher" >/dev/null || fail "a start after SIGKILL shows no window"
[ "$(count_windows "KorvinaNet")" -eq 0 ] || fail "a start after SIGKILL was refused"
kill $third; wait $third 2>/dev/null
echo "PASS"
