# Sourced by the tests that run Windows programs: makes the wine prefix WINEPREFIX when it is
# missing (about 15 s), logging to <dir>/wineboot.log, or ends the test saying why it cannot.
# The caller defines fail().
make_wine_prefix() {
    local dir="$1"
    command -v wine >/dev/null || fail "wine is not installed (bash scripts/setup installs it)"
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    echo "Creating the wine prefix $WINEPREFIX"
    mkdir -p "$dir"
    timeout 170 wineboot -i > "$dir/wineboot.log" 2>&1
    timeout 30 wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] \
        || fail "wine could not create its prefix in $WINEPREFIX:"$'\n'"$(cat "$dir/wineboot.log")"
}
