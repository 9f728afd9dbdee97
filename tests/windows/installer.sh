#!/usr/bin/env bash
# Installs, uninstalls and self-updates Korvina Launcher under wine, in a prefix of its own in the
# work dir.
#   installer.sh <korvina-setup.exe> <work dir> [<package dir>]
# The setup must have been made from a package whose korvina-launcher.exe is launcherstandin.exe.
# Given the package, the installed files are compared with it; else with what the first install
# put there. No display is needed: the prefix uses wine's null graphics driver, whose windows
# FindWindow and SendMessage reach as well (without it wine creates no window at all).
set -u
setup="$(realpath "$1")" work="$2" package="${3:-}"
fail() { echo "FAIL: $*"; exit 1; }

# winemenubuilder would turn the shortcuts into menu entries of this machine's desktop.
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY KORVINA_STANDIN_LINGER_MS KORVINA_STANDIN_IGNORE_CLOSE
source "$(dirname "$0")/../support/wineprefix.sh"
make_wine_prefix "$work"
if ! grep -q '^"Graphics"="null"' "$WINEPREFIX/user.reg"; then
    timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null \
        || fail "cannot select wine's null graphics driver"
    timeout 30 wineserver -w
fi
# Whatever a failed step left running ends with the test.
trap 'timeout 30 wineserver -k 2>/dev/null' EXIT

drive="$WINEPREFIX/drive_c"
inst="$drive/Games/Korvina Launcher" winst='C:\Games\Korvina Launcher'
log="$inst/standin.log"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvinaLauncher'
startmenu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Korvina Launcher.lnk"
desktop="$drive/users/Public/Desktop/Korvina Launcher.lnk"

timeout 30 wineserver -k 2>/dev/null
rm -rf "$drive/Games" "$drive/holder" "$drive/uninstall.exe" "$drive/user.ini" \
    "$drive/korvina-launcher.exe" "$drive/cache" "$startmenu" "$desktop" "$work/reference"
timeout 60 wine reg delete "$key" /f > /dev/null 2>&1

regvalue() {
    timeout 60 wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' \
        | sed -n "s/^    $1    REG_[A-Z_]*    //p"
}
# Waits up to 20 s for a line of the stand-in's log (or of another log given).
waitfor() {
    local pattern="$1" file="${2:-$log}"
    for _ in $(seq 100); do
        grep -q "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.2
    done
    fail "no line '$pattern' in $file:"$'\n'"$(cat "$file" 2>/dev/null)"
}
# The stand-in as the player starts it, from its folder.
startlauncher() {
    (cd "$inst" && exec timeout 300 wine korvina-launcher.exe > /dev/null 2>&1) &
    waitfor '^started'
}
launcherpid() { sed -n "s/^$1 \([0-9]*\) .*/\1/p" "$log" | tail -n 1; }
# The installed tree against the reference, less what is not the package's.
samefiles() {
    diff -rq "$work/reference" "$inst" | grep -v -e "^Only in $inst: uninstall.exe\$" \
        -e "^Only in $inst: update_installer.exe\$" -e "^Only in $inst: standin.log\$" \
        -e "^Only in $inst: gtacr\$"
}

echo "== silent install"
start=$(date +%s)
(cd "$work" && timeout 120 wine "$setup" /S "/D=$winst") || fail "silent install: exit code $?"
[ -f "$inst/korvina-launcher.exe" ] && [ -f "$inst/uninstall.exe" ] \
    || fail "the launcher or its uninstaller is missing:"$'\n'"$(ls -la "$inst" 2>&1)"
if [ -n "$package" ]; then
    cp -r "$package" "$work/reference" || fail "cannot copy $package"
else
    cp -r "$inst" "$work/reference" && rm "$work/reference/uninstall.exe" || fail "no reference"
fi
difference="$(samefiles)"
[ -z "$difference" ] || fail "the installed files differ from the package:"$'\n'"$difference"
[ -f "$log" ] && fail "a silent install without /LAUNCH started the launcher"
cp "$inst/uninstall.exe" "$work/uninstall.exe"
for link in "$startmenu" "$desktop"; do
    grep -qa 'korvina-launcher.exe' "$link" 2>/dev/null || fail "no shortcut $link to the launcher"
done
expect() {
    local value
    value="$(regvalue "$1")"
    [ "$value" = "$2" ] || fail "uninstall registry value $1 is '$value', not '$2'"
}
expect DisplayName 'Korvina Launcher'
expect Publisher 'Korvina RP'
expect InstallLocation "$winst"
expect UninstallString "\"$winst\\uninstall.exe\""
expect QuietUninstallString "\"$winst\\uninstall.exe\" /S"
expect NoModify 0x1
expect NoRepair 0x1
version="$(regvalue DisplayVersion)"
[ -n "$version" ] || fail "no DisplayVersion"
echo "installed version $version in $(( $(date +%s) - start )) s"

echo "== silent uninstall, the launcher running"
mkdir -p "$inst/gtacr/models" "$inst/cache" || fail "cannot write to $inst"
for state in korvina_launcher.bin korvina_servers.bin user.ini update_installer.exe old.tmp \
    cache/logo.jpg gtacr/gta_sa.exe gtacr/models/gta3.img; do
    echo "$state" > "$inst/$state"
done
startlauncher
# The uninstaller runs from a copy in the temporary folder and returns at once.
timeout 60 wine "$inst/uninstall.exe" /S || fail "uninstall: exit code $?"
timeout 90 wineserver -w || fail "the uninstaller or the launcher still runs after 90 s"
grep -q '^close' "$log" || fail "the uninstaller did not close the launcher"
left="$(cd "$inst" && find . | LC_ALL=C sort | tr '\n' ' ')"
[ "$left" = ". ./gtacr ./gtacr/gta_sa.exe ./gtacr/models ./gtacr/models/gta3.img ./standin.log " ] \
    || fail "the uninstaller left other than the game folder (and the stand-in's log): $left"
[ "$(cat "$inst/gtacr/models/gta3.img")" = gtacr/models/gta3.img ] || fail "the game files changed"
[ -e "$startmenu" ] || [ -e "$desktop" ] && fail "the shortcuts are still there"
timeout 60 wine reg query "$key" > /dev/null 2>&1 && fail "the uninstall registry key is left"

echo "== uninstaller at a drive root"
# It must refuse: what it would remove there is not its own.
cp "$work/uninstall.exe" "$drive/uninstall.exe" && mkdir -p "$drive/cache" \
    && echo keep > "$drive/user.ini" && echo keep > "$drive/korvina-launcher.exe" \
    && echo keep > "$drive/cache/keep.txt" || fail "cannot write to $drive"
timeout 60 wine 'C:\uninstall.exe' /S
timeout 60 wineserver -w || fail "the uninstaller at C:\\ still runs after 60 s"
[ -f "$drive/user.ini" ] && [ -f "$drive/korvina-launcher.exe" ] && [ -f "$drive/cache/keep.txt" ] \
    && [ -f "$drive/uninstall.exe" ] || fail "the uninstaller removed files from C:\\"
rm -rf "$drive/uninstall.exe" "$drive/user.ini" "$drive/korvina-launcher.exe" "$drive/cache"

echo "== self-update of a running launcher"
rm -f "$log"
# The launcher started by /LAUNCH, and every one after it, frees its mutex on WM_CLOSE but ends
# only 2 s later, its program file locked until then.
export KORVINA_STANDIN_LINGER_MS=2000
(cd "$work" && timeout 120 wine "$setup" /S /LAUNCH "/D=$winst") || fail "install: exit code $?"
waitfor '^started'
old="$(launcherpid started)"
grep -qF "started $old $winst" "$log" || fail "/LAUNCH started it elsewhere: $(cat "$log")"
# Two package files the update must write again: one at the top, and one in a subfolder that
# another program keeps locked for 5 s, a program whose window bears the launcher's title too.
top="$(cd "$work/reference" && find . -maxdepth 1 -name '*.dll' | LC_ALL=C sort | head -n 1)"
sub="$(cd "$work/reference" && find . -mindepth 2 -type f | LC_ALL=C sort | head -n 1)"
[ -n "$top" ] && [ -n "$sub" ] || fail "the package needs a DLL beside the launcher and a subfolder"
echo stale > "$inst/$top" && echo stale > "$inst/$sub" || fail "cannot write to $inst"
mkdir -p "$drive/holder" && cp "$work/reference/korvina-launcher.exe" "$drive/holder/holder.exe" \
    || fail "cannot write to $drive"
wsub="$winst\\$(echo "${sub#./}" | tr / '\\')"
(cd "$drive/holder" && exec timeout 60 wine holder.exe --hold "$wsub" 5000 > /dev/null 2>&1) &
waitfor '^hold' "$drive/holder/standin.log"
cp "$setup" "$inst/update_installer.exe" || fail "cannot write to $inst"
start=$(date +%s)
# As the launcher starts it: no arguments, its folder as working folder.
(cd "$inst" && timeout 120 wine update_installer.exe) || fail "the update: exit code $?"
echo "updated in $(( $(date +%s) - start )) s"
for _ in $(seq 100); do
    [ "$(launcherpid started)" != "$old" ] && break
    sleep 0.2
done
new="$(launcherpid started)"
[ "$new" != "$old" ] || fail "the update did not start the launcher again:"$'\n'"$(cat "$log")"
order="$(grep -e "^close $old " -e "^exit $old " -e "^started $new " "$log" | cut -d' ' -f1)"
[ "$(echo $order)" = "close exit started" ] \
    || fail "not closed, ended and started again in that order:"$'\n'"$(cat "$log")"
grep -qF "started $new $winst" "$log" || fail "the new launcher runs elsewhere: $(cat "$log")"
difference="$(samefiles)"
[ -z "$difference" ] || fail "the update left files unlike the package:"$'\n'"$difference"
grep -q '^release' "$drive/holder/standin.log" && ! grep -q '^close' "$drive/holder/standin.log" \
    || fail "the other program's window was closed:"$'\n'"$(cat "$drive/holder/standin.log")"
[ -f "$inst/gtacr/models/gta3.img" ] || fail "the update touched the game folder"

echo "== self-update of a launcher that does not end"
timeout 30 wineserver -k 2>/dev/null
timeout 30 wineserver -w
unset KORVINA_STANDIN_LINGER_MS
export KORVINA_STANDIN_IGNORE_CLOSE=1
rm -f "$log"
startlauncher
stubborn="$(launcherpid started)"
echo stale > "$inst/$top" || fail "cannot write to $inst"
start=$(date +%s)
(cd "$inst" && timeout 120 wine update_installer.exe)
rc=$?
echo "gave up in $(( $(date +%s) - start )) s"
[ $rc -ne 0 ] && [ $rc -ne 124 ] || fail "the update of a launcher that stays: exit code $rc"
grep -q "^ignored $stubborn" "$log" || fail "the launcher was not asked to close: $(cat "$log")"
[ "$(launcherpid started)" = "$stubborn" ] && ! grep -q '^exit' "$log" \
    || fail "another launcher was started, or this one ended:"$'\n'"$(cat "$log")"
[ "$(cat "$inst/$top")" = stale ] || fail "the update replaced files while the launcher ran"
echo "PASS"
