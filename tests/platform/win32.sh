#!/usr/bin/env bash
# Runs the Win32 half of the platform layer under wine, in a prefix of its own in the build tree.
#   win32.sh <win32native_test.exe> <win32stub.exe> <launchline> <work dir>
# The game directory is D:\Games\Launcher\gtacr, D: being <work dir>/drive_d; the stub stands in
# for both game programs. Fails, saying why, when wine cannot run at all.
set -u
tester="$1" stub="$2" launchline="$3" work="$4"
fail() { echo "FAIL: $*"; exit 1; }

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
source "$(dirname "$0")/../support/wineprefix.sh"
make_wine_prefix "$work"

drive="$work/drive_d"
game="$drive/Games/Launcher/gtacr"
rm -rf "$drive" && mkdir -p "$game/bin/release" || fail "cannot prepare $drive"
ln -sfn "$drive" "$WINEPREFIX/dosdevices/d:"
cp "$stub" "$game/gta_sa.exe" && cp "$stub" "$game/bin/release/korvina.exe" || fail "no stub"

"$launchline" D:/Games/Launcher/gtacr 127.0.0.1 7777 John_Smith > "$drive/launch.txt" \
    || fail "launchline failed"
# What the launcher builds, byte for byte: the standard and then the alternative start.
expected='"D:\Games\Launcher\gtacr\gta_sa.exe" -korvina -c -n John_Smith -h 127.0.0.1 -p 7777
D:\Games\Launcher\gtacr
"D:\Games\Launcher\gtacr\bin\release\korvina.exe" -rebQ2950417 -c -n John_Smith -h 127.0.0.1 -p 7777
D:\Games\Launcher\gtacr\bin\release\'
[ "$(cat "$drive/launch.txt")" = "$expected" ] \
    || fail "GameStarter builds other lines:"$'\n'"$(cat "$drive/launch.txt")"

timeout 120 wine "$tester" 'D:\' > "$work/output.txt" 2>&1
rc=$?
timeout 30 wineserver -w
cat "$work/output.txt"
grep -q '^PASS: ' "$work/output.txt" || fail "wine could not run $tester (exit code $rc)"
[ $rc -eq 0 ] || fail "exit code $rc"
echo "PASS"
