# Finding a program's icon in the test desktop's tray (tests/e2e/desktop.sh
# exports DESKTOP_TRAY_WINDOW). Sourced by the end-to-end scripts, which set
# tray_icon_class to the icon window's WM_CLASS instance name first.

# The icon window inside the tray: "id W H X Y" (absolute position), or nothing.
icon_window() {
    xwininfo -tree -id "$DESKTOP_TRAY_WINDOW" |
        awk -v cls="(\"$tray_icon_class\"" '
            !found && index($0, cls) {
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^[0-9]+x[0-9]+[+-][0-9]+[+-][0-9]+$/) size = $i
                    if ($i ~ /^[+-][0-9]+[+-][0-9]+$/) at = $i
                }
                split(size, s, /[x+-]/)
                split(substr(at, 2), a, /[+-]/)
                print $1, s[1], s[2], a[1], a[2]
                found = 1
            }'
}
# In the tray and big enough to see: a slot a pixel wide is no icon to the
# user, even though it takes clicks.
icon_in_tray() {
    local id w h x y
    read -r id w h x y <<<"$(icon_window)"
    [ -n "$id" ] && [ "$w" -ge 16 ] && [ "$h" -ge 16 ]
}
icon_gone() { [ -z "$(icon_window)" ]; }
